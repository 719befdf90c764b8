#include "app/shell/controller.h"

#include <type_traits>
#include <utility>

namespace bridge {

namespace {

constexpr double kRefreshMs = 1000.0;
constexpr double kCopiedMs = 1500.0;
constexpr double kSnapshotDelayMs = 2000.0;

const char* const kSafariQuestion = "Set up Safari?";
const char* const kSafariExplanation =
    "Safari only connects to Krevlo Bridge over an encrypted connection. Krevlo Bridge made its own certificate for "
    "127.0.0.1 (this Mac only) when it first started, and threw away the key that signed it, so it can never sign "
    "anything else.\n\nmacOS asks for your password next.";
const char* const kNotAdded = "The certificate was not added";
const char* const kPlacesPrompt = "Add to Places";
const char* const kPlacesMessage =
    "Choose a folder of samples or stems. Browsers paired with Krevlo Bridge can list and read the audio files in it.";

// A callback that runs `f` the first time only: a front end that answers a
// dialog twice must not start the work twice.
template <class Arg>
std::function<void(Arg)> once(std::type_identity_t<std::function<void(Arg)>> f) {
  auto held = std::make_shared<std::function<void(Arg)>>(std::move(f));
  return [held](Arg arg) {
    if (!*held) return;
    auto call = std::move(*held);
    *held = nullptr;
    call(std::move(arg));
  };
}

}  // namespace

// The Bridge's completion, answered exactly once: with the chosen path, or
// with "" when the front end lets go of the chooser without answering. Before
// the chooser is shown, and once the controller is gone, it is never called.
struct AppController::FolderRequest {
  std::function<void(std::string)> done;
  std::weak_ptr<AppController> owner;
  bool shown = false;

  void finish(std::string path) {
    if (!done) return;
    auto call = std::move(done);
    done = nullptr;
    if (owner.lock()) call(std::move(path));
  }
  ~FolderRequest() {
    if (shown) finish({});
  }
};

AppController::AppController(ShellUi& ui, ShellServices services) : ui_(ui), services_(std::move(services)) {}

AppController::~AppController() = default;

std::function<void()> AppController::weakly(void (AppController::*member)()) {
  return [weak = weak_from_this(), member] {
    if (auto self = weak.lock()) ((*self).*member)();
  };
}

void AppController::launch(const ShellEnvironment& environment, const BridgeAssembler& assemble) {
  environment_ = environment;
  std::weak_ptr<AppController> weak = weak_from_this();

  if (environment_.appearance) ui_.setAppearance(*environment_.appearance == "dark");

  if (!services_.updateKey.empty() && !environment_.snapshot && services_.makeUpdater) {
    updater_ = services_.makeUpdater();
    if (updater_)
      updater_->start([weak](std::function<void()> install) {
        if (auto self = weak.lock()) self->updateReady(std::move(install));
      });
  }

  ui_.build(weak);
  ui_.beginActivity("Processing audio for browser DAW tracks");

  BridgeOptions options;
  options.dataDir = environment_.dataDir;
  options.port = 47800;
  options.origins = environment_.origins;
  Platform platform;
  platform.runOnMain = services_.runOnMain;
  platform.changed = [weak] {
    if (auto self = weak.lock()) self->refresh();
  };
  platform.pickFolder = [weak](std::function<void(std::string)> done) {
    if (auto self = weak.lock()) self->pickFolder(std::move(done));
  };
  bridge_.reset();
  bridge_ = assemble(std::move(options), std::move(platform));

  switches_ = switchFormats(bridge_->formats());
  // A failed start shows in the window through the status.
  bridge_->start();
  checkTrust();
  services_.loop->every(kRefreshMs, weakly(&AppController::refresh));
  refresh();

  if (environment_.snapshot)
    services_.loop->after(kSnapshotDelayMs, [weak, path = *environment_.snapshot] {
      if (auto self = weak.lock()) self->takeSnapshot(path);
    });
}

void AppController::terminate() {
  // Null first: whatever the Bridge calls while it stops finds no Bridge.
  auto stopping = std::move(bridge_);
  bridge_ = nullptr;
  stopping.reset();
}

void AppController::perform(Action action) {
  switch (action) {
    case Action::None:
      return;
    case Action::ShowWindow:
      ui_.showWindow();
      return;
    case Action::CheckForUpdates:
      if (updater_) updater_->checkForUpdates();
      return;
    case Action::NewCode:
      if (bridge_) bridge_->newCode();
      return;
    case Action::Rescan:
      if (bridge_) bridge_->rescan();
      return;
    case Action::Trust:
      if (actionEnabled(action, trusted_)) trust();
      return;
    case Action::Forget:
      if (bridge_) bridge_->forgetPairings();
      return;
    case Action::Hide:
      ui_.hide();
      return;
    case Action::Quit:
      services_.loop->quit();
      return;
    case Action::CopyCode:
      copyCode();
      return;
  }
}

void AppController::formatToggled(const std::string& format, bool on) {
  if (bridge_) bridge_->setFormatShown(format, on);
}

std::vector<MenuItem> AppController::menu() const { return applicationMenu(updater_ != nullptr, trusted_); }

void AppController::refresh() {
  if (!bridge_) return;
  struct Mark {
    bool& flag;
    bool before;
    ~Mark() { flag = before; }
  } mark{refreshing_, refreshing_};
  refreshing_ = true;

  installWhenIdle();
  if (!bridge_) return;
  Bridge::Status status = bridge_->status();
  if (environment_.snapshotState == "connected") applySnapshotState(status, trusted_);
  view_ = makeWindowView(status, trusted_, switches_, bridge_->hiddenFormats());
  view_.copyTitle = copyTitle_;
  ui_.show(view_);
}

void AppController::copyCode() {
  if (!bridge_) return;
  std::string code = bridge_->status().code;
  if (code.empty()) return;
  ui_.copyToClipboard(code);
  copyTitle_ = kCopiedTitle;
  view_.copyTitle = copyTitle_;
  ui_.show(view_);
  services_.loop->after(kCopiedMs, weakly(&AppController::resetCopyTitle));
}

void AppController::resetCopyTitle() {
  copyTitle_ = kCopyTitle;
  view_.copyTitle = copyTitle_;
  ui_.show(view_);
}

void AppController::checkTrust() {
  const uint64_t generation = ++trustChecksStarted_;
  services_.background([weak = weak_from_this(), generation, dir = environment_.dataDir,
                        check = services_.identityTrusted, post = services_.runOnMain] {
    bool trusted = check(dir);
    post([weak, generation, trusted] {
      if (auto self = weak.lock()) self->trustChecked(generation, trusted);
    });
  });
}

void AppController::trustChecked(uint64_t generation, bool trusted) {
  // An older check that finishes late must not undo what a newer one found.
  if (generation <= trustCheckApplied_) return;
  trustCheckApplied_ = generation;
  trusted_ = trusted;
  refresh();
}

void AppController::trust() {
  // One set-up at a time: a second request while one runs starts nothing.
  if (settingUp_) return;
  settingUp_ = true;
  std::weak_ptr<AppController> weak = weak_from_this();
  ui_.alert({kSafariQuestion, kSafariExplanation, {"Continue", "Cancel"}},
            once<size_t>([weak](size_t button) {
              auto self = weak.lock();
              if (!self) return;
              if (button != 0) {
                self->settingUp_ = false;
                return;
              }
              self->services_.background([weak, dir = self->environment_.dataDir,
                                          install = self->services_.trustAuthority,
                                          post = self->services_.runOnMain] {
                std::string error;
                bool installed = install(dir, error);
                post([weak, installed, error] {
                  if (auto self = weak.lock()) self->trustInstalled(installed, error);
                });
              });
            }));
}

void AppController::trustInstalled(bool installed, const std::string& error) {
  if (installed) {
    settingUp_ = false;
    checkTrust();
    return;
  }
  std::weak_ptr<AppController> weak = weak_from_this();
  ui_.alert({kNotAdded, error, {"OK"}}, once<size_t>([weak](size_t) {
              if (auto self = weak.lock()) {
                self->settingUp_ = false;
                self->checkTrust();
              }
            }));
}

void AppController::pickFolder(std::function<void(std::string)> done) {
  auto request = std::make_shared<FolderRequest>();
  request->done = std::move(done);
  request->owner = weak_from_this();
  // Later, from the loop: the request that asked for the folder finishes first.
  services_.loop->post([weak = weak_from_this(), request] {
    auto self = weak.lock();
    if (!self) return;
    request->shown = true;
    self->ui_.chooseFolder({kPlacesPrompt, kPlacesMessage},
                           [request](std::string path) { request->finish(std::move(path)); });
  });
}

void AppController::updateReady(std::function<void()> install) {
  installUpdate_ = std::move(install);
  // Announced from inside a refresh or an installation: install from the loop
  // once that has returned, never inside it.
  if (refreshing_ || installing_) {
    services_.loop->post(weakly(&AppController::installWhenIdle));
    return;
  }
  installWhenIdle();
}

void AppController::installWhenIdle() {
  if (installing_ || !installUpdate_ || !bridge_) return;
  if (bridge_->status().busy) return;
  auto keep = shared_from_this();
  auto install = std::move(installUpdate_);
  installUpdate_ = nullptr;
  installing_ = true;
  install();
  installing_ = false;
}

void AppController::takeSnapshot(const std::string& path) {
  refresh();
  // Whatever the write gives, a snapshot run ends here.
  ui_.saveSnapshot(shownText(path));
  services_.loop->quit();
}

}  // namespace bridge
