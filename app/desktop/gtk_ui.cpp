#include "app/desktop/gtk_ui.h"

#include <cairo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace bridge {

namespace {

// Sizes are the window's own design units, one pixel each, so the window looks
// the same at every font-scaling setting of the desktop.
const char* const kStyle = R"css(
.kb-state  { font-size: 12px; font-weight: 500; color: alpha(@theme_fg_color, 0.55); }
.kb-code   { font-size: 34px; font-weight: 300; font-feature-settings: "tnum"; }
.kb-name   { font-size: 22px; font-weight: 400; }
.kb-detail { font-size: 11px; font-weight: 400; color: alpha(@theme_fg_color, 0.55); }
.kb-footer { font-size: 10px; font-weight: 400; color: alpha(@theme_fg_color, 0.26); }
.kb-small  { font-size: 11px; min-height: 0; padding: 1px 8px; }
.kb-check  { font-size: 11px; }
.kb-link   { font-size: 11px; color: rgb(0, 104, 218); padding: 0; min-height: 0; }
)css";

constexpr int kWidth = 280;
constexpr int kInsetTop = 34, kInsetSide = 20, kInsetBottom = 16;
constexpr int kSpacing = 6;
constexpr int kTextWidth = 240;

void addClass(GtkWidget* w, const char* name) { gtk_style_context_add_class(gtk_widget_get_style_context(w), name); }

void setClass(GtkWidget* w, const char* name, bool on) {
  GtkStyleContext* c = gtk_widget_get_style_context(w);
  if (on)
    gtk_style_context_add_class(c, name);
  else
    gtk_style_context_remove_class(c, name);
}

// The one way labels are made: empty, wrapping, any number of lines.
GtkWidget* makeLabel(const char* styleClass) {
  GtkWidget* l = gtk_label_new("");
  gtk_label_set_line_wrap(GTK_LABEL(l), TRUE);
  gtk_label_set_line_wrap_mode(GTK_LABEL(l), PANGO_WRAP_WORD_CHAR);
  gtk_label_set_lines(GTK_LABEL(l), -1);
  gtk_label_set_justify(GTK_LABEL(l), GTK_JUSTIFY_CENTER);
  // Wrapping labels ask for no more than the column gives them.
  gtk_label_set_max_width_chars(GTK_LABEL(l), 1);
  addClass(l, styleClass);
  return l;
}

GtkWidget* makeSmallButton(const char* title, const char* styleClass) {
  GtkWidget* b = gtk_button_new_with_label(title);
  addClass(b, styleClass);
  gtk_widget_set_halign(b, GTK_ALIGN_CENTER);
  gtk_widget_set_can_focus(b, FALSE);
  return b;
}

void setText(GtkWidget* label, const std::string& text) {
  if (std::strcmp(gtk_label_get_text(GTK_LABEL(label)), text.c_str()) != 0)
    gtk_label_set_text(GTK_LABEL(label), text.c_str());
}

void setButtonTitle(GtkWidget* button, const std::string& text) {
  const char* now = gtk_button_get_label(GTK_BUTTON(button));
  if (!now || text != now) gtk_button_set_label(GTK_BUTTON(button), text.c_str());
}

struct Rgba {
  double r, g, b, a;
};

Rgba dotColour(Dot dot, bool dark) {
  switch (dot) {
    case Dot::Red:
      return dark ? Rgba{255 / 255.0, 69 / 255.0, 58 / 255.0, 1} : Rgba{255 / 255.0, 59 / 255.0, 48 / 255.0, 1};
    case Dot::Green:
      return dark ? Rgba{48 / 255.0, 209 / 255.0, 88 / 255.0, 1} : Rgba{52 / 255.0, 199 / 255.0, 89 / 255.0, 1};
    case Dot::Tertiary:
      break;
  }
  return dark ? Rgba{1, 1, 1, 0.25} : Rgba{0, 0, 0, 0.26};
}

bool darkAppearance() {
  gboolean dark = FALSE;
  g_object_get(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", &dark, nullptr);
  return dark;
}

// Accelerators are with Ctrl; a capital letter adds Shift.
void addAccelerator(GtkWidget* item, GtkAccelGroup* group, const std::string& key) {
  if (key.size() != 1) return;
  char c = key[0];
  GdkModifierType mods = GDK_CONTROL_MASK;
  if (c >= 'A' && c <= 'Z') {
    mods = static_cast<GdkModifierType>(mods | GDK_SHIFT_MASK);
    c = static_cast<char>(c - 'A' + 'a');
  }
  guint keyval = gdk_unicode_to_keyval(static_cast<guint32>(static_cast<unsigned char>(c)));
  gtk_widget_add_accelerator(item, "activate", group, keyval, mods, GTK_ACCEL_VISIBLE);
}

GtkWidget* addMenu(GtkWidget* bar, const char* title) {
  GtkWidget* top = gtk_menu_item_new_with_label(title);
  GtkWidget* menu = gtk_menu_new();
  gtk_menu_item_set_submenu(GTK_MENU_ITEM(top), menu);
  gtk_menu_shell_append(GTK_MENU_SHELL(bar), top);
  return menu;
}

template <class F>
GtkWidget* addItem(GtkWidget* menu, GtkAccelGroup* group, const char* title, const std::string& key, F* handler,
                   gpointer data) {
  GtkWidget* item = gtk_menu_item_new_with_label(title);
  addAccelerator(item, group, key);
  g_signal_connect(item, "activate", G_CALLBACK(handler), data);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
  return item;
}

// The focused text, as the responder chain would find it.
GtkWidget* focusOf(GtkWidget* window) { return window ? gtk_window_get_focus(GTK_WINDOW(window)) : nullptr; }

void editCut(GtkMenuItem*, gpointer window) {
  if (GtkWidget* f = focusOf(GTK_WIDGET(window)); f && GTK_IS_EDITABLE(f)) gtk_editable_cut_clipboard(GTK_EDITABLE(f));
}
void editCopy(GtkMenuItem*, gpointer window) {
  GtkWidget* f = focusOf(GTK_WIDGET(window));
  if (!f) return;
  if (GTK_IS_EDITABLE(f)) gtk_editable_copy_clipboard(GTK_EDITABLE(f));
  if (GTK_IS_LABEL(f)) g_signal_emit_by_name(f, "copy-clipboard");
}
void editPaste(GtkMenuItem*, gpointer window) {
  if (GtkWidget* f = focusOf(GTK_WIDGET(window)); f && GTK_IS_EDITABLE(f))
    gtk_editable_paste_clipboard(GTK_EDITABLE(f));
}
void editSelectAll(GtkMenuItem*, gpointer window) {
  GtkWidget* f = focusOf(GTK_WIDGET(window));
  if (!f) return;
  if (GTK_IS_EDITABLE(f)) gtk_editable_select_region(GTK_EDITABLE(f), 0, -1);
  if (GTK_IS_LABEL(f)) gtk_label_select_region(GTK_LABEL(f), 0, -1);
}
void editNothing(GtkMenuItem*, gpointer) {}
void windowMinimize(GtkMenuItem*, gpointer window) { gtk_window_iconify(GTK_WINDOW(window)); }
void windowClose(GtkMenuItem*, gpointer window) { gtk_widget_hide(GTK_WIDGET(window)); }

gboolean hideOnDelete(GtkWidget* window, GdkEvent*, gpointer) {
  gtk_widget_hide(window);
  return TRUE;
}

// A dialog's callback, freed with the dialog whether or not it answered.
template <class T>
struct Answer {
  std::function<void(T)> done;
  size_t buttons = 0;
  static void free(gpointer data, GClosure*) { delete static_cast<Answer*>(data); }
};

bool writeAllFd(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

cairo_status_t pngChunk(void* fd, const unsigned char* data, unsigned int length) {
  return writeAllFd(*static_cast<int*>(fd), data, length) ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_WRITE_ERROR;
}

}  // namespace

bool openDisplay() {
  gtk_disable_setlocale();
  gdk_set_allowed_backends("x11");
  return gtk_init_check(nullptr, nullptr);
}

struct GtkUi::FormatHandler {
  GtkUi* ui;
  std::string name;
  gulong id = 0;
};

bool activateRunningCopy(GtkApplication*& app) {
  app = gtk_application_new(kApplicationId, G_APPLICATION_DEFAULT_FLAGS);
  if (g_application_register(G_APPLICATION(app), nullptr, nullptr) && g_application_get_is_remote(G_APPLICATION(app))) {
    g_application_activate(G_APPLICATION(app));
    // The request must leave before this copy ends.
    if (GDBusConnection* bus = g_application_get_dbus_connection(G_APPLICATION(app)))
      g_dbus_connection_flush_sync(bus, nullptr, nullptr);
    g_object_unref(app);
    app = nullptr;
    return true;
  }
  return false;
}

GtkUi::GtkUi(GtkApplication* app) : app_(app) {}

GtkUi::~GtkUi() {
  if (inhibitCookie_ && app_) gtk_application_uninhibit(app_, inhibitCookie_);
  if (window_) gtk_widget_destroy(window_);
  if (app_) g_object_unref(app_);
}

void GtkUi::setAppearance(bool dark) {
  g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", dark ? TRUE : FALSE, nullptr);
}

void GtkUi::build(std::weak_ptr<ShellActions> actions) {
  actions_ = std::move(actions);

  if (!app_) {
    app_ = gtk_application_new(nullptr, G_APPLICATION_NON_UNIQUE);
    g_application_register(G_APPLICATION(app_), nullptr, nullptr);
  }
  // Another launch of the program in this session shows the window again.
  g_signal_connect(app_, "activate", G_CALLBACK(+[](GApplication*, gpointer self) {
                     static_cast<GtkUi*>(self)->showWindow();
                   }),
                   this);

  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css, kStyle, -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);

  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window_), kAppName);
  gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
  gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
  g_signal_connect(window_, "delete-event", G_CALLBACK(hideOnDelete), nullptr);
  gtk_application_add_window(app_, GTK_WINDOW(window_));
  accel_ = gtk_accel_group_new();
  gtk_window_add_accel_group(GTK_WINDOW(window_), accel_);
  g_object_unref(accel_);

  GtkWidget* outer = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_container_add(GTK_CONTAINER(window_), outer);
  menuBar_ = gtk_menu_bar_new();
  gtk_box_pack_start(GTK_BOX(outer), menuBar_, FALSE, FALSE, 0);
  buildMenus();

  GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, kSpacing);
  gtk_widget_set_size_request(column, kWidth - 2 * kInsetSide, -1);
  gtk_widget_set_margin_top(column, kInsetTop);
  gtk_widget_set_margin_start(column, kInsetSide);
  gtk_widget_set_margin_end(column, kInsetSide);
  gtk_widget_set_margin_bottom(column, kInsetBottom);
  gtk_box_pack_start(GTK_BOX(outer), column, TRUE, TRUE, 0);

  // 1: the status row.
  GtkWidget* status = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  dot_ = gtk_drawing_area_new();
  gtk_widget_set_size_request(dot_, 7, 7);
  gtk_widget_set_valign(dot_, GTK_ALIGN_CENTER);
  g_signal_connect(dot_, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t* cr, gpointer self) -> gboolean {
                     Rgba c = dotColour(static_cast<GtkUi*>(self)->dotColour_, darkAppearance());
                     cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a);
                     cairo_arc(cr, 3.5, 3.5, 3.5, 0, 2 * G_PI);
                     cairo_fill(cr);
                     return FALSE;
                   }),
                   this);
  state_ = makeLabel("kb-state");
  gtk_label_set_max_width_chars(GTK_LABEL(state_), -1);
  gtk_label_set_line_wrap(GTK_LABEL(state_), FALSE);
  gtk_box_pack_start(GTK_BOX(status), dot_, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(status), state_, FALSE, FALSE, 0);
  gtk_widget_set_valign(status, GTK_ALIGN_CENTER);
  gtk_widget_set_margin_bottom(status, 14 - kSpacing);
  // 2: the code, selectable so it can be copied by hand too.
  code_ = makeLabel("kb-code");
  gtk_label_set_selectable(GTK_LABEL(code_), TRUE);
  // 3..
  copy_ = makeSmallButton(kCopyTitle, "kb-small");
  g_signal_connect(copy_, "clicked", G_CALLBACK(+[](GtkButton*, gpointer self) {
                     static_cast<GtkUi*>(self)->perform(Action::CopyCode);
                   }),
                   this);
  detail_ = makeLabel("kb-detail");
  gtk_widget_set_margin_bottom(detail_, 14 - kSpacing);
  safari_ = makeSmallButton(kSafariTitle, "kb-link");
  gtk_button_set_relief(GTK_BUTTON(safari_), GTK_RELIEF_NONE);
  g_signal_connect(safari_, "clicked", G_CALLBACK(+[](GtkButton*, gpointer self) {
                     static_cast<GtkUi*>(self)->perform(Action::Trust);
                   }),
                   this);
  formats_ = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  gtk_widget_set_margin_bottom(formats_, 10 - kSpacing);
  skipped_ = makeLabel("kb-detail");
  retry_ = makeSmallButton(kRetryTitle, "kb-small");
  g_signal_connect(retry_, "clicked", G_CALLBACK(+[](GtkButton*, gpointer self) {
                     static_cast<GtkUi*>(self)->perform(Action::Rescan);
                   }),
                   this);
  footer_ = makeLabel("kb-footer");

  rows_ = {status, code_, copy_, detail_, safari_, formats_, skipped_, retry_, footer_};
  for (GtkWidget* row : rows_) {
    gtk_widget_set_halign(row, GTK_ALIGN_CENTER);
    gtk_box_pack_start(GTK_BOX(column), row, FALSE, FALSE, 0);
  }
  // Wrapping labels take the column's whole width and centre their lines in it.
  for (GtkWidget* label : {code_, detail_, skipped_, footer_}) gtk_widget_set_halign(label, GTK_ALIGN_FILL);

  gtk_widget_show_all(outer);
  for (GtkWidget* hidden : {copy_, safari_, skipped_, retry_}) gtk_widget_hide(hidden);
  gtk_window_present(GTK_WINDOW(window_));
  // Nothing starts focused: a focused code would show a caret and a selection.
  gtk_window_set_focus(GTK_WINDOW(window_), nullptr);
}

void GtkUi::buildMenus() {
  GtkWidget* appMenu = addMenu(menuBar_, kAppName);
  // The enablement is looked up again whenever the menu opens.
  g_signal_connect(appMenu, "show", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                     static_cast<GtkUi*>(self)->updateMenu();
                   }),
                   this);
  auto a = actions_.lock();
  std::vector<MenuItem> items = a ? a->menu() : std::vector<MenuItem>{};
  for (const MenuItem& item : items) {
    GtkWidget* w;
    if (item.separator()) {
      w = gtk_separator_menu_item_new();
      gtk_menu_shell_append(GTK_MENU_SHELL(appMenu), w);
    } else {
      w = gtk_menu_item_new_with_label(item.title.c_str());
      addAccelerator(w, accel_, item.key);
      g_object_set_data(G_OBJECT(w), "kb-action", GINT_TO_POINTER(static_cast<int>(item.action)));
      g_signal_connect(w, "activate", G_CALLBACK(+[](GtkMenuItem* mi, gpointer self) {
                         auto action = static_cast<Action>(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(mi), "kb-action")));
                         static_cast<GtkUi*>(self)->perform(action);
                       }),
                       this);
      gtk_widget_set_sensitive(w, item.enabled);
      gtk_menu_shell_append(GTK_MENU_SHELL(appMenu), w);
    }
    appItems_.push_back(w);
    appActions_.push_back(item.action);
  }

  GtkWidget* edit = addMenu(menuBar_, "Edit");
  // Nothing in the window can be undone.
  gtk_widget_set_sensitive(addItem(edit, accel_, "Undo", "z", editNothing, nullptr), FALSE);
  gtk_widget_set_sensitive(addItem(edit, accel_, "Redo", "Z", editNothing, nullptr), FALSE);
  gtk_menu_shell_append(GTK_MENU_SHELL(edit), gtk_separator_menu_item_new());
  addItem(edit, accel_, "Cut", "x", editCut, window_);
  addItem(edit, accel_, "Copy", "c", editCopy, window_);
  addItem(edit, accel_, "Paste", "v", editPaste, window_);
  addItem(edit, accel_, "Select All", "a", editSelectAll, window_);

  GtkWidget* windows = addMenu(menuBar_, "Window");
  addItem(windows, accel_, "Minimize", "m", windowMinimize, window_);
  addItem(windows, accel_, "Close", "w", windowClose, window_);
}

void GtkUi::updateMenu() {
  auto a = actions_.lock();
  if (!a) return;
  std::vector<MenuItem> items = a->menu();
  for (size_t i = 0; i < appItems_.size(); ++i) {
    if (appActions_[i] == Action::None) continue;
    for (const MenuItem& item : items)
      if (item.action == appActions_[i]) gtk_widget_set_sensitive(appItems_[i], item.enabled);
  }
}

void GtkUi::perform(Action action) {
  // Disabled items are never offered, accelerators included.
  if (auto a = actions_.lock()) {
    for (const MenuItem& item : a->menu())
      if (item.action == action && !item.enabled) return;
    a->perform(action);
  }
}

void GtkUi::buildFormats(const std::vector<FormatSwitch>& formats) {
  for (GtkWidget* b : formatButtons_) gtk_widget_destroy(b);
  formatButtons_.clear();
  formatHandlers_.clear();
  formatNames_.clear();
  for (const FormatSwitch& f : formats) {
    GtkWidget* b = gtk_check_button_new_with_label(f.name.c_str());
    gtk_widget_set_name(b, f.name.c_str());
    gtk_widget_set_tooltip_text(b, f.toolTip.c_str());
    gtk_widget_set_can_focus(b, FALSE);
    addClass(b, "kb-check");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(b), f.on);
    auto handler = std::make_unique<FormatHandler>(FormatHandler{this, f.name, 0});
    handler->id = g_signal_connect(b, "toggled", G_CALLBACK(+[](GtkToggleButton* t, gpointer data) {
                                     auto* h = static_cast<FormatHandler*>(data);
                                     if (auto a = h->ui->actions_.lock())
                                       a->formatToggled(h->name, gtk_toggle_button_get_active(t));
                                   }),
                                   handler.get());
    gtk_box_pack_start(GTK_BOX(formats_), b, FALSE, FALSE, 0);
    gtk_widget_show(b);
    formatButtons_.push_back(b);
    formatHandlers_.push_back(std::move(handler));
    formatNames_.push_back(f.name);
  }
}

void GtkUi::show(const WindowView& view) {
  if (!window_) return;
  updateMenu();
  updateActivity(view);
  if (haveView_ && view == view_) return;
  haveView_ = true;
  view_ = view;

  if (dotColour_ != view.dot) {
    dotColour_ = view.dot;
    gtk_widget_queue_draw(dot_);
  }
  setText(state_, view.state);
  setText(code_, view.code);
  setClass(code_, "kb-code", view.codeStyle == CodeStyle::Code);
  setClass(code_, "kb-name", view.codeStyle == CodeStyle::Name);
  setButtonTitle(copy_, view.copyTitle);
  gtk_widget_set_visible(copy_, !view.copyHidden);
  setText(detail_, view.detail);
  gtk_widget_set_visible(safari_, !view.safariHidden);

  std::vector<std::string> names;
  for (const FormatSwitch& f : view.formats) names.push_back(f.name);
  if (names != formatNames_) buildFormats(view.formats);
  for (size_t i = 0; i < view.formats.size(); ++i) {
    auto* b = GTK_TOGGLE_BUTTON(formatButtons_[i]);
    // Setting the state is not the user's switch: nothing may reach the Bridge.
    g_signal_handler_block(b, formatHandlers_[i]->id);
    gtk_toggle_button_set_active(b, view.formats[i].on);
    g_signal_handler_unblock(b, formatHandlers_[i]->id);
  }

  setText(skipped_, view.skipped);
  gtk_widget_set_visible(skipped_, !view.skippedHidden);
  gtk_widget_set_visible(retry_, !view.skippedHidden);
  setText(footer_, view.footer);
}

void GtkUi::updateActivity(const WindowView& view) {
  // A connected browser is streaming or about to: keep the desktop from
  // suspending or idling the machine meanwhile.
  bool want = view.dot == Dot::Green;
  if (want && !inhibitRequested_) {
    inhibitRequested_ = true;
    inhibitCookie_ = gtk_application_inhibit(
        app_, GTK_WINDOW(window_),
        static_cast<GtkApplicationInhibitFlags>(GTK_APPLICATION_INHIBIT_SUSPEND | GTK_APPLICATION_INHIBIT_IDLE),
        activityReason_.c_str());
  } else if (!want && inhibitRequested_) {
    inhibitRequested_ = false;
    if (inhibitCookie_) gtk_application_uninhibit(app_, inhibitCookie_);
    inhibitCookie_ = 0;
  }
}

void GtkUi::beginActivity(const std::string& reason) { activityReason_ = reason; }

void GtkUi::showWindow() {
  if (window_) gtk_window_present(GTK_WINDOW(window_));
}

void GtkUi::hide() {
  if (window_) gtk_widget_hide(window_);
}

void GtkUi::copyToClipboard(const std::string& text) {
  GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
  gtk_clipboard_set_text(clipboard, text.c_str(), static_cast<gint>(text.size()));
  gtk_clipboard_store(clipboard);
}

void GtkUi::alert(const Alert& alert, std::function<void(size_t button)> done) {
  GtkWidget* d = gtk_message_dialog_new(window_ ? GTK_WINDOW(window_) : nullptr, GTK_DIALOG_DESTROY_WITH_PARENT,
                                        GTK_MESSAGE_OTHER, GTK_BUTTONS_NONE, "%s", alert.message.c_str());
  if (!alert.informative.empty())
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(d), "%s", alert.informative.c_str());
  std::vector<std::string> buttons = alert.buttons.empty() ? std::vector<std::string>{"OK"} : alert.buttons;
  for (size_t i = 0; i < buttons.size(); ++i)
    gtk_dialog_add_button(GTK_DIALOG(d), buttons[i].c_str(), static_cast<gint>(i));
  gtk_dialog_set_default_response(GTK_DIALOG(d), 0);
  // Modal to the window, but shown and answered from the main loop: the caller
  // returns at once.
  gtk_window_set_modal(GTK_WINDOW(d), TRUE);
  auto* answer = new Answer<size_t>{std::move(done), buttons.size()};
  g_signal_connect_data(d, "response", G_CALLBACK(+[](GtkDialog* dialog, gint response, gpointer data) {
                          auto* a = static_cast<Answer<size_t>*>(data);
                          // Dismissed without a button: the last one, the way
                          // Escape picks "Cancel".
                          size_t button = response >= 0 && static_cast<size_t>(response) < a->buttons
                                              ? static_cast<size_t>(response)
                                              : a->buttons - 1;
                          auto call = std::move(a->done);
                          a->done = nullptr;
                          gtk_widget_destroy(GTK_WIDGET(dialog));
                          if (call) call(button);
                        }),
                        answer, &Answer<size_t>::free, static_cast<GConnectFlags>(0));
  gtk_widget_show_all(d);
  gtk_window_present(GTK_WINDOW(d));
}

void GtkUi::chooseFolder(const FolderPrompt& prompt, std::function<void(std::string)> done) {
  showWindow();
  GtkWidget* d = gtk_file_chooser_dialog_new(kAppName, window_ ? GTK_WINDOW(window_) : nullptr,
                                             GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "Cancel", GTK_RESPONSE_CANCEL,
                                             prompt.prompt.c_str(), GTK_RESPONSE_ACCEPT, nullptr);
  gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(d), FALSE);
  gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(d), TRUE);
  gtk_file_chooser_set_create_folders(GTK_FILE_CHOOSER(d), FALSE);
  gtk_dialog_set_default_response(GTK_DIALOG(d), GTK_RESPONSE_ACCEPT);
  GtkWidget* message = gtk_label_new(prompt.message.c_str());
  gtk_label_set_line_wrap(GTK_LABEL(message), TRUE);
  gtk_file_chooser_set_extra_widget(GTK_FILE_CHOOSER(d), message);
  gtk_window_set_modal(GTK_WINDOW(d), TRUE);
  auto* answer = new Answer<std::string>{std::move(done), 0};
  g_signal_connect_data(d, "response", G_CALLBACK(+[](GtkDialog* dialog, gint response, gpointer data) {
                          auto* a = static_cast<Answer<std::string>*>(data);
                          std::string path;
                          if (response == GTK_RESPONSE_ACCEPT) {
                            if (gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) {
                              path = name;
                              g_free(name);
                            }
                          }
                          auto call = std::move(a->done);
                          a->done = nullptr;
                          gtk_widget_destroy(GTK_WIDGET(dialog));
                          if (call) call(std::move(path));
                        }),
                        answer, &Answer<std::string>::free, static_cast<GConnectFlags>(0));
  gtk_widget_show_all(d);
  gtk_window_present(GTK_WINDOW(d));
}

bool GtkUi::saveSnapshot(const std::string& path) {
  if (!window_ || path.empty()) return false;
  // The contents may have changed in this very turn: lay the window out now
  // for its natural size rather than wait for the next frame.
  GtkRequisition natural;
  gtk_widget_get_preferred_size(window_, nullptr, &natural);
  GtkAllocation box{0, 0, natural.width, natural.height};
  gtk_widget_size_allocate(window_, &box);

  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, box.width, box.height);
  cairo_t* cr = cairo_create(surface);
  gtk_render_background(gtk_widget_get_style_context(window_), cr, 0, 0, box.width, box.height);
  gtk_widget_draw(window_, cr);
  cairo_destroy(cr);
  cairo_surface_flush(surface);

  // Written beside the target and renamed over it, so a reader sees either no
  // picture or a whole one.
  std::string temp = path + ".XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  bool ok = fd >= 0;
  if (ok) {
    ok = ::fchmod(fd, 0644) == 0;
    ok = ok && cairo_surface_write_to_png_stream(surface, pngChunk, &fd) == CAIRO_STATUS_SUCCESS;
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
  }
  cairo_surface_destroy(surface);
  return ok;
}

}  // namespace bridge
