// The GTK front end on a virtual X server, driven the way the controller
// drives it: views in, user actions out.
#include "app/desktop/gtk_ui.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/fake_shell.h"
#include "support/test_dir.h"

namespace bridge {
namespace {

// Turns the GLib loop until `done` holds or a generous bound of turns passed;
// never a timing assertion: only whether it happened.
template <class F>
bool turnUntil(F done, int turns = 2000) {
  for (int i = 0; i < turns && !done(); ++i) g_main_context_iteration(nullptr, FALSE);
  return done();
}

void settle() {
  for (int i = 0; i < 50; ++i) g_main_context_iteration(nullptr, FALSE);
}

std::string labelText(GtkWidget* w) { return gtk_label_get_text(GTK_LABEL(w)); }

bool visible(GtkWidget* w) { return gtk_widget_get_visible(w); }

WindowView waitingView() {
  WindowView v;
  v.dot = Dot::Tertiary;
  v.state = "Waiting for the DAW";
  v.code = "012 345";
  v.copyHidden = false;
  v.detail = "Enter this code in the DAW to connect.";
  v.safariHidden = false;
  v.formats = {{"VST3", true, "List VST3 plug-ins in the DAW"}, {"CLAP", false, "List CLAP plug-ins in the DAW"}};
  v.skipped = "Skipped, crashed or didn't finish loading: a rather long plug-in name.clap, another.vst3";
  v.skippedHidden = false;
  v.footer = "3 plug-ins \u00b7 CPU 0%";
  return v;
}

// A dialog opened by the front end, found among the toplevels.
template <class Pred>
GtkWidget* findToplevel(Pred pred) {
  GList* all = gtk_window_list_toplevels();
  GtkWidget* found = nullptr;
  for (GList* l = all; l; l = l->next)
    if (pred(GTK_WIDGET(l->data))) found = GTK_WIDGET(l->data);
  g_list_free(all);
  return found;
}

class GtkUiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(openDisplay()) << "no X display";
    ui = std::make_unique<GtkUi>();
    ui->build(actions);
  }
  std::shared_ptr<test::RecordingActions> actions = std::make_shared<test::RecordingActions>();
  std::unique_ptr<GtkUi> ui;
};

TEST_F(GtkUiTest, NineRowsInOrderInAColumn280Wide) {
  ui->show(waitingView());
  settle();
  GtkWidget* column = gtk_widget_get_parent(ui->row(0));
  GList* children = gtk_container_get_children(GTK_CONTAINER(column));
  std::vector<GtkWidget*> rows;
  for (GList* l = children; l; l = l->next) rows.push_back(GTK_WIDGET(l->data));
  g_list_free(children);
  ASSERT_EQ(rows.size(), 9u);
  for (size_t i = 0; i < 9; ++i) EXPECT_EQ(rows[i], ui->row(i)) << i;
  // A long skipped list wraps instead of widening the window.
  EXPECT_EQ(gtk_widget_get_allocated_width(ui->window()), 280);
  EXPECT_EQ(gtk_widget_get_allocated_width(column), 240);
  EXPECT_EQ(gtk_widget_get_allocated_height(ui->row(0)) >= 7, true);
}

TEST_F(GtkUiTest, ShowsTextsAndHidesRowsAsTheViewSays) {
  WindowView v = waitingView();
  ui->show(v);
  EXPECT_EQ(labelText(ui->stateLabel()), "Waiting for the DAW");
  EXPECT_EQ(labelText(ui->codeLabel()), "012 345");
  EXPECT_TRUE(gtk_style_context_has_class(gtk_widget_get_style_context(ui->codeLabel()), "kb-code"));
  EXPECT_TRUE(visible(ui->copyButton()));
  EXPECT_EQ(std::string(gtk_button_get_label(GTK_BUTTON(ui->copyButton()))), "Copy Code");
  EXPECT_TRUE(visible(ui->row(4)));  // Safari
  EXPECT_TRUE(visible(ui->row(6)) && visible(ui->row(7)));
  EXPECT_EQ(labelText(ui->row(8)), "3 plug-ins \u00b7 CPU 0%");

  v.code = "Chrome";
  v.codeStyle = CodeStyle::Name;
  v.copyHidden = true;
  v.safariHidden = true;
  v.skippedHidden = true;
  v.copyTitle = "Copied";
  ui->show(v);
  EXPECT_EQ(labelText(ui->codeLabel()), "Chrome");
  EXPECT_TRUE(gtk_style_context_has_class(gtk_widget_get_style_context(ui->codeLabel()), "kb-name"));
  EXPECT_FALSE(gtk_style_context_has_class(gtk_widget_get_style_context(ui->codeLabel()), "kb-code"));
  EXPECT_FALSE(visible(ui->copyButton()));
  EXPECT_EQ(std::string(gtk_button_get_label(GTK_BUTTON(ui->copyButton()))), "Copied");
  EXPECT_FALSE(visible(ui->row(4)));
  EXPECT_FALSE(visible(ui->row(6)) || visible(ui->row(7)));
}

TEST_F(GtkUiTest, MenusCarryTheirAcceleratorsAndEnablement) {
  struct Case {
    guint key;
    GdkModifierType mods;
    Action action;  // None: nothing may reach the controller
  } cases[] = {
      {GDK_KEY_n, GDK_CONTROL_MASK, Action::NewCode}, {GDK_KEY_r, GDK_CONTROL_MASK, Action::Rescan},
      {GDK_KEY_0, GDK_CONTROL_MASK, Action::ShowWindow}, {GDK_KEY_h, GDK_CONTROL_MASK, Action::Hide},
      {GDK_KEY_q, GDK_CONTROL_MASK, Action::Quit},      {GDK_KEY_n, GDK_MOD1_MASK, Action::None},
  };
  for (const Case& c : cases) {
    actions->performed.clear();
    gtk_accel_groups_activate(G_OBJECT(ui->window()), c.key, c.mods);
    if (c.action == Action::None)
      EXPECT_TRUE(actions->performed.empty());
    else
      EXPECT_EQ(actions->performed, std::vector<Action>{c.action}) << c.key;
  }

  // Titles in order, separators where the menu has them.
  std::vector<std::string> titles;
  for (GtkWidget* item : ui->appMenuItems())
    titles.push_back(GTK_IS_SEPARATOR_MENU_ITEM(item) ? "-" : gtk_menu_item_get_label(GTK_MENU_ITEM(item)));
  EXPECT_EQ(titles, (std::vector<std::string>{"Show Krevlo Bridge", "-", "New Pairing Code", "Rescan Plug-ins",
                                               "Set Up Safari\u2026", "Forget Paired Browsers", "-",
                                               "Hide Krevlo Bridge", "Quit Krevlo Bridge"}));
  std::vector<std::string> menus;
  GList* tops = gtk_container_get_children(GTK_CONTAINER(ui->menuBar()));
  for (GList* l = tops; l; l = l->next) menus.push_back(gtk_menu_item_get_label(GTK_MENU_ITEM(l->data)));
  g_list_free(tops);
  EXPECT_EQ(menus, (std::vector<std::string>{"Krevlo Bridge", "Edit", "Window"}));

  // Once the certificate is trusted, Safari set-up is disabled, also when
  // activated directly.
  GtkWidget* safari = ui->appMenuItems()[4];
  EXPECT_TRUE(gtk_widget_get_sensitive(safari));
  actions->trusted = true;
  ui->show(waitingView());
  EXPECT_FALSE(gtk_widget_get_sensitive(safari));
  actions->performed.clear();
  gtk_menu_item_activate(GTK_MENU_ITEM(safari));
  EXPECT_TRUE(actions->performed.empty());
}

TEST_F(GtkUiTest, FormatSwitchesReportTheUserOnlyNotTheRefresh) {
  ui->show(waitingView());
  ASSERT_EQ(ui->formatButtons().size(), 2u);
  auto* vst3 = GTK_TOGGLE_BUTTON(ui->formatButtons()[0]);
  auto* clap = GTK_TOGGLE_BUTTON(ui->formatButtons()[1]);
  EXPECT_EQ(std::string(gtk_widget_get_name(GTK_WIDGET(vst3))), "VST3");
  EXPECT_TRUE(gtk_toggle_button_get_active(vst3));
  EXPECT_FALSE(gtk_toggle_button_get_active(clap));
  gchar* tip = gtk_widget_get_tooltip_text(GTK_WIDGET(clap));
  EXPECT_STREQ(tip, "List CLAP plug-ins in the DAW");
  g_free(tip);

  WindowView v = waitingView();
  v.formats[0].on = false;
  v.formats[1].on = true;
  ui->show(v);
  EXPECT_FALSE(gtk_toggle_button_get_active(vst3));
  EXPECT_TRUE(gtk_toggle_button_get_active(clap));
  EXPECT_TRUE(actions->toggled.empty());

  gtk_button_clicked(GTK_BUTTON(vst3));
  EXPECT_EQ(actions->toggled, (std::vector<std::pair<std::string, bool>>{{"VST3", true}}));
}

TEST_F(GtkUiTest, ButtonsReachTheController) {
  ui->show(waitingView());
  gtk_button_clicked(GTK_BUTTON(ui->copyButton()));
  gtk_button_clicked(GTK_BUTTON(ui->row(4)));
  gtk_button_clicked(GTK_BUTTON(ui->row(7)));
  EXPECT_EQ(actions->performed, (std::vector<Action>{Action::CopyCode, Action::Trust, Action::Rescan}));
}

TEST_F(GtkUiTest, ClosingHidesAndShowingPresents) {
  ui->show(waitingView());
  settle();
  ASSERT_TRUE(visible(ui->window()));
  gtk_window_close(GTK_WINDOW(ui->window()));
  ASSERT_TRUE(turnUntil([&] { return !visible(ui->window()); }));
  EXPECT_NE(ui->window(), nullptr);
  ui->showWindow();
  EXPECT_TRUE(visible(ui->window()));
}

TEST_F(GtkUiTest, InhibitsTheDesktopOnlyWhileABrowserIsConnected) {
  ui->beginActivity("Processing audio for browser DAW tracks");
  WindowView v = waitingView();
  ui->show(v);
  EXPECT_FALSE(ui->inhibiting());
  v.dot = Dot::Green;
  ui->show(v);
  EXPECT_TRUE(ui->inhibiting());
  v.dot = Dot::Red;
  ui->show(v);
  EXPECT_FALSE(ui->inhibiting());
}

TEST_F(GtkUiTest, ClipboardHoldsTheCopiedText) {
  ui->copyToClipboard("012345");
  gchar* text = gtk_clipboard_wait_for_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
  EXPECT_STREQ(text, "012345");
  g_free(text);
}

TEST_F(GtkUiTest, AlertAnswersOnceFromTheLoop) {
  struct Case {
    gint response;
    size_t expected;
  } cases[] = {{0, 0}, {1, 1}, {GTK_RESPONSE_DELETE_EVENT, 1}};
  for (const Case& c : cases) {
    std::vector<size_t> answers;
    ui->alert({"Set up Safari?", "Text", {"Continue", "Cancel"}}, [&](size_t b) { answers.push_back(b); });
    // Nothing is answered inside the call.
    EXPECT_TRUE(answers.empty());
    GtkWidget* d = findToplevel([](GtkWidget* w) { return GTK_IS_MESSAGE_DIALOG(w); });
    ASSERT_NE(d, nullptr);
    gtk_dialog_response(GTK_DIALOG(d), c.response);
    settle();
    EXPECT_EQ(answers, std::vector<size_t>{c.expected});
    EXPECT_EQ(findToplevel([](GtkWidget* w) { return GTK_IS_MESSAGE_DIALOG(w); }), nullptr);
  }
}

TEST_F(GtkUiTest, FolderChooserPicksFoldersAndCompletesOnce) {
  std::vector<std::string> answers;
  ui->chooseFolder({"Add to Places", "Choose a folder."}, [&](std::string p) { answers.push_back(std::move(p)); });
  EXPECT_TRUE(answers.empty());
  GtkWidget* d = findToplevel([](GtkWidget* w) { return GTK_IS_FILE_CHOOSER_DIALOG(w); });
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(gtk_file_chooser_get_action(GTK_FILE_CHOOSER(d)), GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER);
  EXPECT_FALSE(gtk_file_chooser_get_select_multiple(GTK_FILE_CHOOSER(d)));
  GtkWidget* accept = gtk_dialog_get_widget_for_response(GTK_DIALOG(d), GTK_RESPONSE_ACCEPT);
  ASSERT_NE(accept, nullptr);
  EXPECT_EQ(std::string(gtk_button_get_label(GTK_BUTTON(accept))), "Add to Places");

  std::filesystem::path folder = test::testDir() / "stems";
  std::filesystem::create_directories(folder);
  gtk_file_chooser_select_filename(GTK_FILE_CHOOSER(d), folder.c_str());
  ASSERT_TRUE(turnUntil([&] {
    gchar* f = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d));
    bool ok = f && folder == f;
    g_free(f);
    return ok;
  }));
  gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_ACCEPT);
  settle();
  EXPECT_EQ(answers, std::vector<std::string>{folder.string()});

  // Cancelled: an empty path, once.
  answers.clear();
  ui->chooseFolder({"Add to Places", "Choose a folder."}, [&](std::string p) { answers.push_back(std::move(p)); });
  d = findToplevel([](GtkWidget* w) { return GTK_IS_FILE_CHOOSER_DIALOG(w); });
  ASSERT_NE(d, nullptr);
  gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_CANCEL);
  settle();
  EXPECT_EQ(answers, std::vector<std::string>{""});
}

TEST_F(GtkUiTest, SnapshotIsWrittenWholeOrNotAtAll) {
  ui->show(waitingView());
  settle();
  std::filesystem::path png = test::testDir() / "window.png";
  ASSERT_TRUE(ui->saveSnapshot(png.string()));
  std::ifstream in(png, std::ios::binary);
  char magic[8] = {};
  in.read(magic, 8);
  EXPECT_EQ(std::string(magic + 1, 3), "PNG");

  std::filesystem::path missing = test::testDir() / "no-such-folder" / "window.png";
  EXPECT_FALSE(ui->saveSnapshot(missing.string()));
  EXPECT_FALSE(ui->saveSnapshot(""));
  // No half-written file is left beside the picture.
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(test::testDir())) files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 1u);
}

}  // namespace
}  // namespace bridge
