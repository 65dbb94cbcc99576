#include "gui/gui_support.h"

#include <gdk/gdkkeysyms.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "app/app.h"
#include "base/holders.h"
#include "client/client_api.h"
#include "convert/glue.h"
#include "tray/tray.h"

TestHome test_home;

const std::vector<std::string> kMenuWithoutFile = {
    "Go to website", "---", "Select file to convert", "---", "Get key", "---", "Tutorial",
    "---",           "Exit"};
const std::vector<std::string> kMenuWithFile = {
    "Go to website", "---",      "Select file to convert",
    "Check task",    "---",      "Get key",
    "---",           "Tutorial", "---",
    "Exit"};

namespace {

constexpr char kSeenMark[] = "tovimo-test-seen";
constexpr char kCoveredMark[] = "tovimo-test-covered";
constexpr char kFirstSeenMark[] = "tovimo-test-first-seen";
constexpr char kUnmapHooked[] = "tovimo-test-unmap-hooked";
// How long an uncovered dialog may take to close by itself before it counts as open again.
constexpr gint64 kReseenAfterMs = 500;

// The buttons of a dialog's action area, left to right as packed; caller frees the list.
GList* action_buttons(GtkWidget* dialog) {
  GList* found = nullptr;
  for (int response : {GTK_RESPONSE_OK, GTK_RESPONSE_YES, GTK_RESPONSE_NO, GTK_RESPONSE_CANCEL,
                       GTK_RESPONSE_ACCEPT}) {
    GtkWidget* button = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), response);
    if (GTK_IS_BUTTON(button)) found = g_list_append(found, button);
  }
  return found;
}

// A button's label as the user reads it: without its mnemonic's underscore.
std::string shown_label(GtkButton* button) {
  const gchar* label = gtk_button_get_label(button);
  std::string shown = label ? label : "";
  if (gtk_button_get_use_underline(button)) {
    shown.erase(std::remove(shown.begin(), shown.end(), '_'), shown.end());
  }
  return shown;
}

GtkWidget* find_child(GtkWidget* widget, GType type) {
  if (G_TYPE_CHECK_INSTANCE_TYPE(widget, type)) return widget;
  if (!GTK_IS_CONTAINER(widget)) return nullptr;
  GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
  GtkWidget* found = nullptr;
  for (GList* l = children; l && !found; l = l->next) {
    found = find_child(GTK_WIDGET(l->data), type);
  }
  g_list_free(children);
  return found;
}

SeenDialog describe(GtkWidget* w) {
  SeenDialog d;
  d.type = G_OBJECT_TYPE_NAME(w);
  if (const gchar* title = gtk_window_get_title(GTK_WINDOW(w))) d.title = title;
  d.modal = gtk_window_get_modal(GTK_WINDOW(w));
  d.transient_for_main =
      main_window && gtk_window_get_transient_for(GTK_WINDOW(w)) == GTK_WINDOW(main_window);
  GtkWindowPosition position;
  g_object_get(w, "window-position", &position, nullptr);
  d.centred = position == GTK_WIN_POS_CENTER;

  // Buttons as the user sees them, from left to right.
  GList* buttons = action_buttons(w);
  std::vector<std::pair<int, std::string>> placed;
  for (GList* l = buttons; l; l = l->next) {
    if (gtk_widget_get_visible(GTK_WIDGET(l->data))) {
      GtkAllocation place;
      gtk_widget_get_allocation(GTK_WIDGET(l->data), &place);
      placed.emplace_back(place.x, shown_label(GTK_BUTTON(l->data)));
    }
  }
  g_list_free(buttons);
  std::stable_sort(placed.begin(), placed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& p : placed) d.buttons.push_back(p.second);

  if (GTK_IS_FILE_CHOOSER(w)) {
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(w);
    d.action = gtk_file_chooser_get_action(chooser);
    d.overwrite_confirmation = gtk_file_chooser_get_do_overwrite_confirmation(chooser);
    GStr folder(gtk_file_chooser_get_current_folder(chooser));
    if (folder) d.folder = folder.get();
    if (d.action == GTK_FILE_CHOOSER_ACTION_SAVE) {
      GtkWidget* entry = find_child(w, GTK_TYPE_ENTRY);
      if (entry) d.text = gtk_entry_get_text(GTK_ENTRY(entry));
    }
    return d;
  }
  if (GTK_IS_MESSAGE_DIALOG(w)) {
    gchar* raw = nullptr;
    g_object_get(w, "text", &raw, nullptr);
    GStr text(raw);
    if (text) d.text = text.get();
    return d;
  }
  GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(w));
  if (GtkWidget* label = find_child(content, GTK_TYPE_LABEL)) {
    d.text = gtk_label_get_text(GTK_LABEL(label));
    d.selectable = gtk_label_get_selectable(GTK_LABEL(label));
    d.use_markup = gtk_label_get_use_markup(GTK_LABEL(label));
  }
  if (GtkWidget* image = find_child(content, GTK_TYPE_IMAGE)) {
    if (gtk_image_get_storage_type(GTK_IMAGE(image)) == GTK_IMAGE_ICON_NAME) {
      const gchar* name = nullptr;
      gtk_image_get_icon_name(GTK_IMAGE(image), &name, nullptr);
      d.icon = name ? name : "";
      d.icon_found = name && gtk_icon_theme_has_icon(gtk_icon_theme_get_default(), name);
    } else {
      d.icon = "file";
    }
  }
  return d;
}

void forget_seen(GtkWidget* dialog, gpointer) {
  g_object_set_data(G_OBJECT(dialog), kSeenMark, nullptr);
  g_object_set_data(G_OBJECT(dialog), kFirstSeenMark, nullptr);
  g_object_set_data(G_OBJECT(dialog), kCoveredMark, nullptr);
}

// A chooser is looked at once it shows its folder, as a user would wait for it; one that
// still shows none after a while is taken as it is.
bool settled(GtkWidget* w) {
  if (!GTK_IS_FILE_CHOOSER(w)) return true;
  GStr folder(gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(w)));
  if (folder) return true;
  const gint64 now = g_get_monotonic_time();
  auto first = GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(w), kFirstSeenMark));
  if (!first) {
    g_object_set_data(G_OBJECT(w), kFirstSeenMark, GSIZE_TO_POINTER(now));
    return false;
  }
  return now - gint64(first) > 3 * G_USEC_PER_SEC;
}

GtkWidget* button_with_label(GtkWidget* dialog, const std::string& wanted) {
  GList* buttons = action_buttons(dialog);
  GtkWidget* found = nullptr;
  for (GList* l = buttons; l && !found; l = l->next) {
    if (shown_label(GTK_BUTTON(l->data)) == wanted) found = GTK_WIDGET(l->data);
  }
  g_list_free(buttons);
  return found;
}

}  // namespace

Answer press(const char* label) {
  std::string wanted = label;
  return [wanted](GtkWidget* dialog) {
    GtkWidget* button = button_with_label(dialog, wanted);
    if (button) {
      gtk_button_clicked(GTK_BUTTON(button));
    } else {
      ADD_FAILURE_AT(__FILE__, __LINE__);
      gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_DELETE_EVENT);
    }
    return true;
  };
}

Answer respond(int response) {
  return [response](GtkWidget* dialog) {
    gtk_dialog_response(GTK_DIALOG(dialog), response);
    return true;
  };
}

Answer close_window() {
  return [](GtkWidget* dialog) {
    GdkEvent* event = gdk_event_new(GDK_DELETE);
    event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(dialog)));
    event->any.send_event = TRUE;
    gtk_main_do_event(event);
    gdk_event_free(event);
    return true;
  };
}

Answer escape() {
  return [](GtkWidget* dialog) {
    if (!gtk_widget_get_mapped(dialog)) return false;
    // A key press alone, handed to the dialog as the display would: it is gone before a
    // release could reach it.
    GdkWindow* window = gtk_widget_get_window(dialog);
    GdkDisplay* display = gdk_window_get_display(window);
    GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
    event->key.window = GDK_WINDOW(g_object_ref(window));
    event->key.send_event = TRUE;
    event->key.time = GDK_CURRENT_TIME;
    event->key.keyval = GDK_KEY_Escape;
    GdkKeymapKey* keys = nullptr;
    gint count = 0;
    if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), GDK_KEY_Escape,
                                          &keys, &count) &&
        count > 0) {
      event->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
    }
    g_free(keys);
    gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(display)));
    gtk_main_do_event(event);
    gdk_event_free(event);
    return true;
  };
}

Answer choose_file(const std::string& path) {
  bool asked = false;
  return [path, asked](GtkWidget* dialog) mutable {
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    if (!asked) {
      gtk_file_chooser_set_filename(chooser, path.c_str());
      asked = true;
      return false;
    }
    GStr current(gtk_file_chooser_get_filename(chooser));
    if (!current || path != current.get()) return false;  // the folder is still loading
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    return true;
  };
}

Answer save_as(const std::string& name) {
  return [name](GtkWidget* dialog) {
    if (!name.empty()) gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(dialog), name.c_str());
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    return true;
  };
}

DialogDriver::DialogDriver() {
  source_ = g_timeout_add(20, &DialogDriver::on_tick, this);
}

DialogDriver::~DialogDriver() {
  g_source_remove(source_);
  if (apply_source_) g_source_remove(apply_source_);
  if (current_) {
    g_object_remove_weak_pointer(G_OBJECT(current_), reinterpret_cast<gpointer*>(&current_));
  }
  // Notices that outlive their call are closed, so that no test leaves windows behind.
  GList* toplevels = gtk_window_list_toplevels();
  for (GList* l = toplevels; l; l = l->next) {
    if (GTK_IS_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data))) {
      gtk_dialog_response(GTK_DIALOG(l->data), GTK_RESPONSE_DELETE_EVENT);
    }
  }
  g_list_free(toplevels);
  while (gtk_events_pending()) gtk_main_iteration();
}

DialogDriver& DialogDriver::then(Answer answer) {
  answers_.push_back(std::move(answer));
  return *this;
}

std::vector<std::string> DialogDriver::titles() const {
  std::vector<std::string> t;
  for (const SeenDialog& d : seen) t.push_back(d.title);
  return t;
}

gboolean DialogDriver::on_tick(gpointer self) {
  static_cast<DialogDriver*>(self)->tick();
  return G_SOURCE_CONTINUE;
}

void DialogDriver::tick() {
  if (!current_) {
    GList* toplevels = gtk_window_list_toplevels();
    // Newest first: the newest modal dialog holds the grab, and a user answers it first.
    for (GList* l = g_list_last(toplevels); l && !current_; l = l->prev) {
      GtkWidget* w = GTK_WIDGET(l->data);
      if (!GTK_IS_DIALOG(w) || !gtk_widget_get_mapped(w)) continue;
      const gsize seen_mark = GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(w), kSeenMark));
      if (seen_mark == 1 || (seen_mark > 1 && g_get_monotonic_time() / 1000 < gint64(seen_mark))) {
        continue;
      }
      if (!settled(w)) continue;
      for (GList* other = toplevels; other; other = other->next) {
        if (other->data != w && g_object_get_data(G_OBJECT(other->data), kSeenMark) &&
            gtk_widget_get_visible(GTK_WIDGET(other->data))) {
          g_object_set_data(G_OBJECT(other->data), kCoveredMark, GINT_TO_POINTER(1));
        }
      }
      g_object_set_data(G_OBJECT(w), kSeenMark, GINT_TO_POINTER(1));
      if (!g_object_get_data(G_OBJECT(w), kUnmapHooked)) {
        // A dialog kept hidden between uses (the choosers) is new each time it shows again.
        g_signal_connect(w, "unmap", G_CALLBACK(forget_seen), nullptr);
        g_object_set_data(G_OBJECT(w), kUnmapHooked, GINT_TO_POINTER(1));
      }
      seen.push_back(describe(w));
      current_ = w;
      g_object_add_weak_pointer(G_OBJECT(w), reinterpret_cast<gpointer*>(&current_));
      answer_deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    }
    g_list_free(toplevels);
  }
  // Answers run from a source of their own, so that the ticks go on in any main loop that
  // an answer starts (a chooser's own replace question, say).
  if (current_ && !apply_source_) apply_source_ = g_idle_add(&DialogDriver::on_apply, this);
}

gboolean DialogDriver::on_apply(gpointer self) {
  auto* driver = static_cast<DialogDriver*>(self);
  driver->apply_source_ = 0;
  driver->apply();
  return G_SOURCE_REMOVE;
}

void DialogDriver::apply() {
  GtkWidget* dialog = current_;
  if (!dialog) return;
  g_object_remove_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer*>(&current_));
  current_ = nullptr;
  if (answers_.empty()) {
    unexpected.push_back(seen.back().title);
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_DELETE_EVENT);
    return;
  }
  Answer answer = std::move(answers_.front());
  answers_.pop_front();
  g_object_add_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer*>(&dialog));
  const bool done = answer(dialog);
  if (!dialog) return;
  g_object_remove_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer*>(&dialog));
  if (done) {
    // A dialog that a newer one covered (a chooser under its replace question) is seen again
    // when it is still open a while after that one was answered, and takes the next answer.
    const gint64 reopen_at = g_get_monotonic_time() / 1000 + kReseenAfterMs;
    GList* toplevels = gtk_window_list_toplevels();
    for (GList* l = toplevels; l; l = l->next) {
      if (g_object_get_data(G_OBJECT(l->data), kCoveredMark)) {
        g_object_set_data(G_OBJECT(l->data), kCoveredMark, nullptr);
        g_object_set_data(G_OBJECT(l->data), kSeenMark, GSIZE_TO_POINTER(reopen_at));
      }
    }
    g_list_free(toplevels);
    return;
  }
  if (std::chrono::steady_clock::now() > answer_deadline_) {
    unexpected.push_back("no answer could be given to " +
                         std::string(gtk_window_get_title(GTK_WINDOW(dialog))
                                         ? gtk_window_get_title(GTK_WINDOW(dialog))
                                         : ""));
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_DELETE_EVENT);
    return;
  }
  // Not ready yet (a chooser still loading its folder): the same answer again next tick.
  answers_.push_front(std::move(answer));
  current_ = dialog;
  g_object_add_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer*>(&current_));
}

bool DialogDriver::drain(int timeout_ms) {
  return wait_until(
      [this] {
        if (!answers_.empty() || current_ || apply_source_) return false;
        bool open = false;
        GList* toplevels = gtk_window_list_toplevels();
        for (GList* l = toplevels; l; l = l->next) {
          if (GTK_IS_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data))) open = true;
        }
        g_list_free(toplevels);
        return !open;
      },
      timeout_ms);
}

namespace {

struct HandlerRun {
  const std::function<void()>* action;
  bool loop_survived = false;
  guint probe = 0;
};

gboolean on_probe(gpointer data) {
  static_cast<HandlerRun*>(data)->loop_survived = true;
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

gboolean on_run_handler(gpointer data) {
  auto* run = static_cast<HandlerRun*>(data);
  (*run->action)();
  // Runs only if the main loop goes on after the handler: no quit was requested.
  run->probe = g_idle_add(on_probe, run);
  return G_SOURCE_REMOVE;
}

}  // namespace

bool run_as_handler(const std::function<void()>& action) {
  HandlerRun run{&action};
  g_idle_add(on_run_handler, &run);
  gtk_main();
  if (!run.loop_survived && run.probe) g_source_remove(run.probe);
  return !run.loop_survived;
}

bool wait_until(const std::function<bool()>& condition, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(2000);
  }
  return true;
}

std::vector<GtkWidget*> visible_windows(const std::string& title) {
  std::vector<GtkWidget*> found;
  GList* toplevels = gtk_window_list_toplevels();
  for (GList* l = toplevels; l; l = l->next) {
    const gchar* t = gtk_window_get_title(GTK_WINDOW(l->data));
    if (t && title == t && gtk_widget_get_visible(GTK_WIDGET(l->data))) {
      found.push_back(GTK_WIDGET(l->data));
    }
  }
  g_list_free(toplevels);
  return found;
}

std::vector<std::string> menu_labels(GtkWidget* menu) {
  std::vector<std::string> labels;
  GList* items = gtk_container_get_children(GTK_CONTAINER(menu));
  for (GList* l = items; l; l = l->next) {
    GtkWidget* item = GTK_WIDGET(l->data);
    if (GTK_IS_SEPARATOR_MENU_ITEM(item)) {
      labels.push_back("---");
    } else {
      GtkWidget* child = gtk_bin_get_child(GTK_BIN(item));
      labels.push_back(child && GTK_IS_LABEL(child) ? gtk_label_get_text(GTK_LABEL(child)) : "");
    }
  }
  g_list_free(items);
  return labels;
}

// Widgets of a window in order, depth first.
std::vector<GtkWidget*> widgets_of(GtkWidget* top) {
  std::vector<GtkWidget*> found{top};
  for (size_t i = 0; i < found.size(); ++i) {
    if (!GTK_IS_CONTAINER(found[i])) continue;
    GList* children = gtk_container_get_children(GTK_CONTAINER(found[i]));
    for (GList* l = children; l; l = l->next) found.push_back(GTK_WIDGET(l->data));
    g_list_free(children);
  }
  return found;
}

std::string shown_text(GtkWidget* window) {
  std::string shown;
  for (GtkWidget* w : widgets_of(window)) {
    if (GTK_IS_LABEL(w)) shown += std::string(gtk_label_get_text(GTK_LABEL(w))) + "\n";
    if (GTK_IS_TEXT_VIEW(w)) {
      GtkTextBuffer* b = gtk_text_view_get_buffer(GTK_TEXT_VIEW(w));
      GtkTextIter s, e;
      gtk_text_buffer_get_bounds(b, &s, &e);
      GStr t(gtk_text_buffer_get_text(b, &s, &e, FALSE));
      shown += t.get();
    }
  }
  return shown;
}

bool shows(GtkWidget* window, const std::string& text) {
  return shown_text(window).find(text) != std::string::npos;
}

GtkWidget* converter_window() {
  const auto windows = visible_windows("ffmpeg");
  return windows.empty() ? nullptr : windows.back();
}

std::string bar_text(GtkWidget* window) {
  for (GtkWidget* w : widgets_of(window)) {
    if (GTK_IS_PROGRESS_BAR(w)) {
      const gchar* text = gtk_progress_bar_get_text(GTK_PROGRESS_BAR(w));
      return text ? text : "";
    }
  }
  return "(no progress bar)";
}

GtkWidget* press_button(GtkWidget* window, const char* label) {
  for (GtkWidget* w : widgets_of(window)) {
    if (GTK_IS_BUTTON(w) && shown_label(GTK_BUTTON(w)) == label) {
      gtk_button_clicked(GTK_BUTTON(w));
      return w;
    }
  }
  ADD_FAILURE() << "the window has no " << label;
  return nullptr;
}

bool process_ended(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const size_t state = line.rfind(')');
  return state == std::string::npos || line.substr(state + 2, 1) == "Z";
}

std::string read_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

const std::string ProgramTest::kKey = "0123456789abcdef0123456789abcdef";

void reset_program(const std::string& service_base, const std::string& key) {
  if (!trayIcon) {
    ASSERT_EQ(tray_init(), 1);
  }
  tray_show();
  glue_watch_stop();
  state_reset();
  hash = key;
  gs_service_base = service_base;
  test_home.forget_calls();
}

void ProgramTest::SetUp() {
  reset_program(service_.server().base(), kKey);
}

void ProgramTest::TearDown() {
  state_reset();
}

bool status_icon_shown(GtkStatusIcon* icon) {
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  return gtk_status_icon_get_visible(icon);
  G_GNUC_END_IGNORE_DEPRECATIONS
}

bool tray_icon_shown() {
  return trayIcon && status_icon_shown(trayIcon.get());
}

std::string tray_icon_tooltip() {
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  GStr text(trayIcon && gtk_status_icon_get_has_tooltip(trayIcon.get())
                ? gtk_status_icon_get_tooltip_text(trayIcon.get())
                : nullptr);
  G_GNUC_END_IGNORE_DEPRECATIONS
  return text ? text.get() : "";
}
