// Driving the program's own dialogs and choosers in-process: a timeout finds each dialog that
// appears, records what the user would see, and answers it as the test says.
#pragma once

#include <gtk/gtk.h>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/state.h"
#include "support/loopback_server.h"
#include "support/test_home.h"

extern TestHome test_home;

struct SeenDialog {
  std::string type;  // GTK type name
  std::string title;
  std::string text;                  // the message, or a chooser's name field
  std::string icon;                  // icon name, or "file" for a picture
  bool icon_found = false;           // the icon name is in the icon theme
  std::vector<std::string> buttons;  // labels as shown, left to right
  bool selectable = false;
  bool modal = false;
  bool transient_for_main = false;
  bool centred = false;
  bool use_markup = false;
  // File choosers only.
  int action = -1;
  std::string folder;
  bool overwrite_confirmation = false;
};

// An answer gets the dialog; it returns false to be asked again at the next tick (a chooser
// still loading its folder), true once it has answered.
using Answer = std::function<bool(GtkWidget* dialog)>;

Answer press(const char* label);                          // clicks the button
Answer respond(int response);                             // as the dialog's own response
Answer close_window();                                    // the window manager's close button
Answer escape();                                          // the Escape key
Answer choose_file(const std::string& path);              // open chooser: select and accept
Answer save_as(const std::string& name = std::string());  // save chooser: name (or proposed)

class DialogDriver {
 public:
  DialogDriver();
  ~DialogDriver();
  DialogDriver(const DialogDriver&) = delete;
  DialogDriver& operator=(const DialogDriver&) = delete;

  DialogDriver& then(Answer answer);
  // Runs the main loop until every queued answer has been given and no dialog is left open.
  // Returns false when that took longer than `timeout_ms`.
  bool drain(int timeout_ms = 15000);

  std::vector<SeenDialog> seen;
  std::vector<std::string> titles() const;
  std::vector<std::string> unexpected;  // dialogs that found no answer (closed by the driver)
  size_t pending() const { return answers_.size(); }

 private:
  static gboolean on_tick(gpointer self);
  static gboolean on_apply(gpointer self);
  void tick();
  void apply();

  guint source_ = 0;
  guint apply_source_ = 0;
  GtkWidget* current_ = nullptr;
  std::chrono::steady_clock::time_point answer_deadline_;
  std::deque<Answer> answers_;
};

// Runs `action` as a handler of the running main loop, as the tray's handlers run. Returns
// whether the main loop was asked to end by the time the handler returned.
bool run_as_handler(const std::function<void()>& action);

// Iterates the main loop until `condition` holds, up to `timeout_ms`.
bool wait_until(const std::function<bool()>& condition, int timeout_ms = 10000);

// Open dialogs and windows, by title.
std::vector<GtkWidget*> visible_windows(const std::string& title);

// The tray menu's labels from the top, "---" for a separator, without and with a file selected.
extern const std::vector<std::string> kMenuWithoutFile;
extern const std::vector<std::string> kMenuWithFile;

// Labels of a menu's items in order, "---" for a separator.
std::vector<std::string> menu_labels(GtkWidget* menu);

// The converter's window (titled "ffmpeg"), the newest open one, or none.
GtkWidget* converter_window();
// Widgets of a window in order, depth first.
std::vector<GtkWidget*> widgets_of(GtkWidget* top);
// The labels and the output view of a window, as the user reads them; whether they hold `text`.
std::string shown_text(GtkWidget* window);
bool shows(GtkWidget* window, const std::string& text);
// The text of the converter window's progress bar.
std::string bar_text(GtkWidget* window);
// Clicks the window's button labelled `label` ("Stop"); the button, or none (a test
// failure).
GtkWidget* press_button(GtkWidget* window, const char* label);
// Whether the process has ended: gone, or a zombie that nobody has reaped yet.
bool process_ended(const std::string& pid);
// The first line of a file, "" when there is none.
std::string read_line(const std::string& path);

// Puts the program as it stands after start-up: the tray icon up and shown, every per-run value
// reset, the client key `key`, the service at `service_base`, the stand-ins' records cleared.
void reset_program(const std::string& service_base, const std::string& key);

// The program as it stands after start-up: the tray icon up, a client key, no file selected,
// talking to a scripted service on loopback; the stand-ins' records cleared.
class ProgramTest : public ::testing::Test {
 protected:
  static const std::string kKey;
  void SetUp() override;
  void TearDown() override;
  ScriptedService service_;
};

// Whether the program's tray icon (or `icon`) is set to show.
bool tray_icon_shown();
// The program's status icon's tooltip; empty when it has none.
std::string tray_icon_tooltip();
bool status_icon_shown(GtkStatusIcon* icon);
