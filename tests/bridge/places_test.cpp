// Places: the rules that keep listings and reads inside a granted folder (the
// attack table), listing order and limits, chunked reads, and adding and
// removing places through the folder dialog.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "bridge/places.h"
#include "bridge_fixture.h"
#include "util/encoding.h"
#include "util/files.h"

namespace bridge::test {
namespace {

namespace fs = std::filesystem;

const char* const kFolderMessage = "Krevlo Bridge can't open that folder.";
const char* const kFileMessage = "Krevlo Bridge can't read that file.";

void writeBytes(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

// A file of `size` bytes that takes no room.
void sparse(const fs::path& p, uint64_t size) {
  int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
  ::close(fd);
}

class BridgePlaces : public BridgeTest {
 protected:
  fs::path root, outside;
  std::string answer;  // what the folder dialog answers
  std::function<void(std::string)> heldDialog;
  bool holdDialog = false;
  std::shared_ptr<FakeConnection> c;
  std::string id;

  void SetUp() override {
    root = testDir() / "media";
    outside = testDir() / "outside";
    writeBytes(root / "a.wav", "0123456789");
    writeBytes(root / "sub" / "b.flac", "flac");
    writeBytes(root / "sub" / "deeper" / "c.mp3", "mp3");
    writeBytes(root / ".hidden.wav", "hidden");
    writeBytes(root / ".secret" / "x.wav", "secret");
    writeBytes(root / "notes.txt", "text");
    writeBytes(outside / "o.wav", "outside");
    ASSERT_EQ(::mkfifo((root / "fifo.wav").c_str(), 0644), 0);
    sparse(root / "big.wav", uint64_t{1} << 31);
    sparse(root / "huge.wav", (uint64_t{1} << 31) + 1);
    fs::create_directory_symlink("sub", root / "inner");
    fs::create_directory_symlink(outside, root / "out");
    fs::create_symlink(outside / "o.wav", root / "outfile.wav");
    fs::create_symlink(root / "nothing.wav", root / "dangling.wav");
    fs::create_symlink("loop", root / "loop");
    fs::create_symlink("a.wav", root / "link.wav");

    pickFolder = [this](std::function<void(std::string)> done) {
      if (holdDialog)
        heldDialog = std::move(done);
      else
        done(answer);
    };
    make("123456");
    c = connect(1);
    pair(c, "123456");
    answer = root.string();
    say(c, Json{{"t", "addPlace"}});
    ASSERT_EQ(probe().places().size(), 1u);
    id = probe().places()[0].id;
  }

  std::vector<Json> ask(const Json& request) {
    std::vector<Json> out;
    for (const std::string& text : say(c, request)) out.push_back(Json::parse(text));
    return out;
  }
  Json list(const std::string& path) { return ask(Json{{"t", "list"}, {"place", id}, {"path", path}}).at(0); }
  Json read(const std::string& path, Json offset = nullptr) {
    Json request{{"t", "read"}, {"place", id}, {"path", path}};
    if (!offset.is_null()) request["offset"] = offset;
    return ask(request).at(0);
  }
};

TEST_F(BridgePlaces, AddingAFolderAnswersWithItsId) {
  ASSERT_EQ(probe().places().size(), 1u);
  const Place& place = probe().places()[0];
  EXPECT_EQ(place.name, "media");
  EXPECT_EQ(place.path, fs::canonical(root).string());
  EXPECT_EQ(place.id.size(), 12u);
  EXPECT_EQ(place.id.find_first_not_of("0123456789abcdef"), std::string::npos);
  Json saved = Json::parse(readFile(dataDir() / "settings.json"));
  EXPECT_EQ(saved["places"], Json::array({{{"id", place.id}, {"name", "media"}, {"path", place.path}}}));
}

struct Attack {
  std::string t;
  std::string path;
  std::string code;  // "" when served
};

TEST_F(BridgePlaces, NothingOutsideThePlaceIsListedOrRead) {
  const std::string notFound = "Krevlo Bridge can't find that in media.";
  const std::vector<Attack> table = {
      {"list", "", ""},
      {"list", "sub", ""},
      {"list", "sub/deeper", ""},
      {"list", "sub//deeper/", ""},
      {"list", "inner", ""},  // a link to another spot inside is followed
      {"list", "..", "not-found"},
      {"list", "sub/..", "not-found"},
      {"list", ".", "not-found"},
      {"list", "./sub", "not-found"},
      {"list", ".secret", "not-found"},
      {"list", "/", "not-found"},
      {"list", root.string(), "not-found"},
      {"list", "out", "not-found"},  // a link out of the place
      {"list", "loop", "not-found"},
      {"list", "missing", "not-found"},
      {"list", "sub" + std::string(4094, '/'), "not-found"},  // 4097 bytes: refused, not cut to "sub"
      {"list", std::string("sub\0x", 5), "not-found"},
      {"list", "a.wav", "unreadable"},
      {"read", "a.wav", ""},
      {"read", "link.wav", ""},
      {"read", "sub/b.flac", ""},
      {"read", "inner/deeper/c.mp3", ""},
      {"read", "big.wav", ""},
      {"read", "notes.txt", "unreadable"},
      {"read", "fifo.wav", "unreadable"},
      {"read", "sub", "unreadable"},
      {"read", "huge.wav", "unreadable"},
      {"read", ".hidden.wav", "not-found"},
      {"read", ".secret/x.wav", "not-found"},
      {"read", "outfile.wav", "not-found"},
      {"read", "out/o.wav", "not-found"},
      {"read", "../outside/o.wav", "not-found"},
      {"read", "sub/../a.wav", "not-found"},
      {"read", "dangling.wav", "not-found"},
      {"read", "a.wav" + std::string(4092, '/'), "not-found"},  // would read a.wav once cut
      {"read", std::string("notes.txt\0.wav", 14), "not-found"},  // would open notes.txt
  };
  for (const Attack& a : table) {
    Json reply = a.t == "list" ? list(a.path) : read(a.path);
    const std::string shown = a.t + " " + a.path.substr(0, 40);
    if (a.code.empty()) {
      EXPECT_EQ(reply["t"], a.t == "list" ? "listing" : "file") << shown << reply;
      continue;
    }
    std::string message = a.code == "not-found" ? notFound : a.t == "list" ? kFolderMessage : kFileMessage;
    EXPECT_EQ(reply, (Json{{"t", "error"}, {"code", a.code}, {"for", a.t}, {"message", message}})) << shown;
  }
  EXPECT_EQ(ask(Json{{"t", "list"}, {"place", "000000000000"}, {"path", ""}}).at(0),
            (Json{{"t", "error"},
                  {"code", "no-place"},
                  {"for", "list"},
                  {"message", "That folder isn't in Krevlo Bridge's Places any more."}}));
}

TEST_F(BridgePlaces, ListingShowsFoldersThenAudioFilesInByteOrder) {
  EXPECT_EQ(list(""), (Json{{"t", "listing"},
                            {"req", 0},
                            {"place", id},
                            {"path", ""},
                            {"entries", Json::array({{{"name", "inner"}, {"dir", true}},
                                                     {{"name", "sub"}, {"dir", true}},
                                                     {{"name", "a.wav"}, {"size", 10}},
                                                     {{"name", "big.wav"}, {"size", 2147483648u}},
                                                     {{"name", "link.wav"}, {"size", 10}}})}}));
  for (const char* name : {"B", "a"}) fs::create_directories(root / "kinds" / name);
  for (const char* name : {"A.wav", "b.wav", "x.WAV", "y.Opus", "z.txt", "w.aifc", ".dot.wav", "noext"})
    writeBytes(root / "kinds" / name, "1");
  std::vector<std::string> names;
  const Json kinds = list("kinds");
  for (const Json& e : kinds["entries"]) names.push_back(e["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"B", "a", "A.wav", "b.wav", "x.WAV", "y.Opus"}));
}

TEST_F(BridgePlaces, ListingStopsAt5000) {
  fs::create_directories(root / "many");
  for (int i = 0; i < 6000; ++i) writeBytes(root / "many" / ("f" + std::to_string(10000 + i) + ".wav"), "");
  const Json entries = list("many")["entries"];
  ASSERT_EQ(entries.size(), 5000u);
  for (size_t i = 1; i < entries.size(); ++i)
    EXPECT_LT(entries[i - 1]["name"].get<std::string>(), entries[i]["name"].get<std::string>());
}

TEST_F(BridgePlaces, ReadsComeInChunksFromTheOffsetUsed) {
  struct ReadCase {
    std::string path;
    Json offset;
    uint64_t used, size;
    std::string data;  // decoded; "!" for an error
  };
  const std::vector<ReadCase> cases = {
      {"a.wav", nullptr, 0, 10, "0123456789"},
      {"a.wav", 1.9, 1, 10, "123456789"},
      {"a.wav", 10, 10, 10, ""},
      {"a.wav", 11, 0, 0, "!"},
      {"a.wav", -1, 0, 0, "!"},
      {"a.wav", "3", 0, 10, "0123456789"},  // not a number: offset 0
      {"big.wav", 2147483644u, 2147483644u, 2147483648u, std::string(4, '\0')},
      {"big.wav", 2147483648u, 2147483648u, 2147483648u, ""},
      {"big.wav", 2147483649u, 0, 0, "!"},
  };
  for (const ReadCase& k : cases) {
    Json reply = read(k.path, k.offset);
    if (k.data == "!") {
      EXPECT_EQ(reply["code"], "unreadable") << k.path << " " << k.offset;
      continue;
    }
    ASSERT_EQ(reply["t"], "file") << k.path << " " << k.offset << reply;
    EXPECT_EQ(reply["req"], 0);
    EXPECT_EQ(reply["offset"], k.used);
    EXPECT_EQ(reply["size"], k.size);
    std::vector<uint8_t> data;
    ASSERT_TRUE(base64Decode(reply["data"], data));
    EXPECT_EQ(std::string(data.begin(), data.end()), k.data) << k.path << " " << k.offset;
  }
  // More than one chunk: 4 MiB, then the rest.
  std::string bytes(5 << 20, 'x');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  writeBytes(root / "long.wav", bytes);
  std::string back;
  for (uint64_t offset = 0; offset < bytes.size();) {
    Json reply = read("long.wav", offset);
    std::vector<uint8_t> data;
    ASSERT_TRUE(base64Decode(reply["data"], data));
    ASSERT_LE(data.size(), size_t{4} << 20);
    ASSERT_FALSE(data.empty());
    back.append(data.begin(), data.end());
    offset += data.size();
  }
  EXPECT_EQ(back, bytes);
}

TEST_F(BridgePlaces, RequestNumbersComeBackOnlyWhenIntegers) {
  auto withReq = [&](const std::string& t, const std::string& path, Json req) {
    Json request{{"t", t}, {"place", id}, {"path", path}, {"req", req}};
    return ask(request).at(0);
  };
  EXPECT_EQ(withReq("list", "", 7)["req"], 7);
  EXPECT_EQ(withReq("read", "a.wav", -3)["req"], -3);
  EXPECT_EQ(withReq("list", "", 1.5)["req"], 0);
  EXPECT_EQ(withReq("list", "..", 7)["req"], 7);
  EXPECT_FALSE(withReq("list", "..", 1.5).contains("req"));
  EXPECT_FALSE(list("..").contains("req"));
}

// What was opened is checked, not only what the path said before: a link or a
// FIFO swapped in after the path was resolved neither leads out nor blocks.
TEST_F(BridgePlaces, OpenedItemsAreCheckedAfterOpening) {
  std::vector<PlaceEntry> entries;
  uint64_t size = 0;
  std::vector<uint8_t> data;
  EXPECT_FALSE(listPlace(root, root / "out", entries));
  EXPECT_FALSE(readPlaceChunk(root, root / "outfile.wav", 0, 100, data, size));
  EXPECT_FALSE(readPlaceChunk(root, root / "fifo.wav", 0, 100, data, size));
  EXPECT_TRUE(readPlaceChunk(root, root / "link.wav", 0, 100, data, size));
  EXPECT_EQ(size, 10u);

  // A file and a FIFO trade places as fast as they can while reads go on.
  writeBytes(root / "file.tmp", "regular");
  ASSERT_EQ(::mkfifo((root / "fifo.tmp").c_str(), 0644), 0);
  const fs::path swapped = root / "swap.wav";
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop) {
      ::rename((root / "file.tmp").c_str(), swapped.c_str());
      ::rename(swapped.c_str(), (root / "file.tmp").c_str());
      ::rename((root / "fifo.tmp").c_str(), swapped.c_str());
      ::rename(swapped.c_str(), (root / "fifo.tmp").c_str());
    }
  });
  // Reaching the end is the check: no read waited for a writer of the FIFO.
  for (int i = 0; i < 3000; ++i) readPlaceChunk(root, swapped, 0, 100, data, size);
  stop = true;
  swapper.join();
}

TEST(BridgePlaceRules, InsideRootGoesByComponents) {
  EXPECT_TRUE(insideRoot("/a/b", "/a/b"));
  EXPECT_TRUE(insideRoot("/a/b", "/a/b/c"));
  EXPECT_FALSE(insideRoot("/a/b", "/a/bc"));
  EXPECT_FALSE(insideRoot("/a/b", "/a"));
  EXPECT_TRUE(insideRoot("/", "/x/y"));
  EXPECT_FALSE(insideRoot("", "/x"));
  for (const auto& [name, audio] : std::vector<std::pair<std::string, bool>>{
           {"x.WAV", true}, {"x.wave", true}, {"x.aif", true}, {"x.AIFF", true}, {"x.mp3", true},
           {"x.flac", true}, {"x.ogg", true}, {"x.Opus", true}, {"x.m4a", true}, {"..wav", true},
           {".wav", false}, {"x.aifc", false}, {"x.wav.txt", false}, {"noext", false}, {"x.wav/y", false}})
    EXPECT_EQ(isAudioFile(name), audio) << name;
}

TEST_F(BridgePlaces, DialogAnswers) {
  auto addPlace = [&] { return ask(Json{{"t", "addPlace"}}); };
  // The same folder again: its id, and nothing written.
  fs::remove(dataDir() / "settings.json");
  auto replies = addPlace();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["added"], id);
  EXPECT_FALSE(fs::exists(dataDir() / "settings.json"));
  // A plain file, or a cancelled dialog: "places" without "added".
  for (const std::string& choice : {(root / "a.wav").string(), std::string()}) {
    answer = choice;
    replies = addPlace();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_FALSE(replies[0].contains("added"));
    EXPECT_EQ(replies[0]["list"].size(), 1u);
  }
  // A new folder: the broadcast first, then the answer; kept sorted by name.
  auto other = connect(2);
  pair(other, "123456");
  answer = (root / "sub").string();
  replies = addPlace();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_FALSE(replies[0].contains("added"));
  const std::string subId = replies[1]["added"];
  EXPECT_EQ(replies[1]["list"], Json::array({{{"id", id}, {"name", "media"}}, {{"id", subId}, {"name", "sub"}}}));
  EXPECT_EQ(messages(*other, "places").size(), 1u);

  // Removing: an unknown id does nothing at all; a known one tells everybody.
  fs::remove(dataDir() / "settings.json");
  EXPECT_TRUE(ask(Json{{"t", "removePlace"}, {"place", "nope"}}).empty());
  EXPECT_FALSE(fs::exists(dataDir() / "settings.json"));
  replies = ask(Json{{"t", "removePlace"}, {"place", subId}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["list"].size(), 1u);
  EXPECT_EQ(messages(*other, "places").size(), 1u);
  EXPECT_EQ(Json::parse(readFile(dataDir() / "settings.json"))["places"].size(), 1u);

  // A place that cannot be saved is not granted.
  fs::create_directories(dataDir() / "settings.json.tmp");
  answer = (root / "sub" / "deeper").string();
  replies = addPlace();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_FALSE(replies[0].contains("added"));
  EXPECT_EQ(probe().places().size(), 1u);
  fs::remove_all(dataDir() / "settings.json.tmp");

  // The file-system root is named by its whole path.
  EXPECT_FALSE(probe().addPlace("/").empty());
  bool rootNamed = false;
  for (const Place& p : probe().places()) rootNamed = rootNamed || (p.path == "/" && p.name == "/");
  EXPECT_TRUE(rootNamed);
}

TEST_F(BridgePlaces, DialogOutlivingItsAskers) {
  holdDialog = true;
  EXPECT_TRUE(ask(Json{{"t", "addPlace"}}).empty());  // nothing until it ends
  ASSERT_TRUE(heldDialog);
  // The session went: the place is still added, nobody is answered.
  probe().close(c);
  queue.drain();
  heldDialog((root / "sub").string());
  EXPECT_EQ(probe().places().size(), 2u);
  // The Bridge went: the answer does nothing.
  c = connect(2);
  pair(c, "123456");
  ask(Json{{"t", "addPlace"}});
  auto late = std::move(heldDialog);
  bridge = nullptr;
  queue.drain();
  late((root / "sub" / "deeper").string());
  EXPECT_TRUE(c->takeTexts().empty());
}

TEST_F(BridgePlaces, PlaceWhoseFolderWentAwayAnswersNotFound) {
  fs::rename(root, testDir() / "moved");
  EXPECT_EQ(list("")["code"], "not-found");
}

TEST_F(BridgePlaces, NoDialogNoAdding) {
  pickFolder = nullptr;
  bridge = nullptr;
  queue.drain();
  make("123456");
  c = connect(3);
  pair(c, "123456");
  EXPECT_EQ(say(c, Json{{"t", "addPlace"}, {"req", 4}}),
            std::vector<std::string>{
                R"({"code":"unsupported","for":"addPlace","message":"This Krevlo Bridge can't show a folder dialog.","req":4,"t":"error"})"});
  Json expected{{"t", "places"}, {"list", Json::array({Json{{"id", id}, {"name", "media"}}})}, {"canAdd", false}};
  EXPECT_EQ(say(c, Json{{"t", "places"}}), std::vector<std::string>{expected.dump()});
}

}  // namespace
}  // namespace bridge::test
