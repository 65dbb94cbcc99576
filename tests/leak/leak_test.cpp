// The program's workflow driven over and over in-process, every row of it, with the tray menu
// opened and dismissed in between. Run under valgrind (see valgrind_check.sh): whatever a
// cycle leaks shows up a hundred times over.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "app/app.h"
#include "client/client_api.h"
#include "convert/glue.h"
#include "convert/svdialog.h"
#include "gui/gui_support.h"
#include "support/loopback_server.h"
#include "tray/tray.h"

namespace {

using Strings = std::vector<std::string>;

const std::string kKey = "c0ffeec0ffeec0ffeec0ffeec0ffee00";
const std::string kOrder = "CONVERT AVI 0 0 0 0 0 0 0";
const std::string kError = "ERROR SGVsbG8sIHBhZGRpbmc=";  // "Hello, padding"

// Rounds of the workflow; each round drives every cheap row, every kCostlyEvery-th round the
// rows with file choosers and converter starts as well.
constexpr int kRounds = 10;
constexpr int kCostlyEvery = 5;
constexpr int kMenusPerRound = 3;

class LeakTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_program(service_.server().base(), kKey);
    clip_ = test_home.desktop + "/clip.flv";
    notes_ = test_home.desktop + "/notes.txt";
    std::ofstream(clip_) << "FLV";
    std::ofstream(notes_) << "text";
  }
  void TearDown() override {
    state_reset();
    g_unsetenv("TOVIMO_FAKE_FFMPEG_STATUS");
  }

  // One workflow step as a tray handler, its dialogs answered in order. Returns the titles
  // the user saw; `ends` says whether the step is designed to end the program.
  Strings step(const std::function<void()>& action, std::vector<Answer> answers,
               bool ends = false) {
    DialogDriver driver;
    for (Answer& a : answers) driver.then(std::move(a));
    EXPECT_EQ(run_as_handler(action), ends);
    EXPECT_TRUE(driver.drain());
    EXPECT_TRUE(driver.unexpected.empty()) << testing::PrintToString(driver.unexpected);
    tray_show();
    return driver.titles();
  }

  // A step of the workflow proper: one cycle.
  Strings cycle(const std::function<void()>& action, std::vector<Answer> answers,
                bool ends = false) {
    ++cycles_;
    return step(action, std::move(answers), ends);
  }

  // The status line of the converter's window, once there is one.
  static std::string converter_status() {
    for (GtkWidget* w : visible_windows("ffmpeg")) {
      GList* parts = gtk_container_get_children(GTK_CONTAINER(gtk_bin_get_child(GTK_BIN(w))));
      std::string status =
          parts && GTK_IS_LABEL(parts->data) ? gtk_label_get_text(GTK_LABEL(parts->data)) : "";
      g_list_free(parts);
      return status;
    }
    return "";
  }

  void check_task(const std::string& poll) {
    service_.reply("poll", {poll});
    flv_movie = clip_;
  }

  // Waits for the stand-in converter's start and for its window to go.
  void expect_converter_run() {
    ++launches_;
    EXPECT_TRUE(wait_until([this] { return test_home.converter_calls().size() == launches_; }));
    EXPECT_TRUE(wait_until([] { return visible_windows("ffmpeg").empty(); }, 20000));
  }

  // Rows that need no chooser.
  void cheap_rows() {
    check_task("OK\r\n");  // no order yet: the order page opens
    const size_t pages = test_home.browser_urls().size();
    EXPECT_EQ(cycle(glue_check_task, {}), Strings{});
    EXPECT_TRUE(wait_until([&] { return test_home.browser_urls().size() > pages; }));

    check_task("");  // no reply
    EXPECT_EQ(cycle(glue_check_task, {press("OK")}), Strings{"poll failed"});

    automode = 1;  // after "AUTOOK" a failed poll ends the program
    check_task("");
    EXPECT_EQ(cycle(glue_check_task, {press("OK")}, true), Strings{"poll failed"});
    automode = 0;

    check_task(" \r\n");
    EXPECT_EQ(cycle(glue_check_task, {press("OK")}, true), Strings{"data error"});

    check_task(kError + "\r\n");
    EXPECT_EQ(cycle(glue_check_task, {press("OK")}, true), Strings{"error"});

    check_task("ERROR");
    EXPECT_EQ(cycle(glue_check_task, {press("OK")}, true), Strings{"unhandled error"});

    check_task("ok");  // unrecognised: nothing
    EXPECT_EQ(cycle(glue_check_task, {}), Strings{});

    check_task(kOrder);  // declined
    service_.reply("cancel", {"OK\r\n"});
    EXPECT_EQ(cycle(glue_check_task, {press("No")}), Strings{"Confirmation"});

    check_task(kOrder);  // declined, and the service answers with an error
    service_.reply("cancel", {kError + "\r\n"});
    EXPECT_EQ(cycle(glue_check_task, {press("No"), press("OK")}),
              (Strings{"Confirmation", "error"}));

    check_task(kOrder);  // accepted, and the service answers with an error
    service_.reply("yes", {kError});
    EXPECT_EQ(cycle(glue_check_task, {press("Yes"), press("OK")}),
              (Strings{"Confirmation", "error"}));

    check_task(kOrder);  // accepted, the service's answer is not understood
    service_.reply("yes", {"later"});
    EXPECT_EQ(cycle(glue_check_task, {press("Yes")}), Strings{"Confirmation"});

    check_task("CONVERT AVI 0 0");  // an order that does not parse
    service_.reply("yes", {"OK"});
    EXPECT_EQ(cycle(glue_check_task, {press("Yes"), press("OK")}),
              (Strings{"Confirmation", "ffmpeg failure"}));

    check_task(kError + " " + kOrder);  // an error and an order at once
    service_.reply("cancel", {"OK"});
    EXPECT_EQ(cycle(glue_check_task, {press("OK"), press("No")}, true),
              (Strings{"error", "Confirmation"}));
  }

  // Rows with choosers and converter starts.
  void costly_rows() {
    // The whole conversion: select, poll, order, confirm, save, launch.
    service_.reply("poll", {kOrder});
    service_.reply("yes", {"OK"});
    EXPECT_EQ(cycle(glue_select_file, {choose_file(clip_), press("Yes"), save_as(), press("OK")}),
              (Strings{"Open File", "Confirmation", "Save File", "status"}));
    expect_converter_run();

    // The converter fails: its window stays with the reason until the user closes it.
    g_setenv("TOVIMO_FAKE_FFMPEG_STATUS", "1", TRUE);
    check_task(kOrder);
    EXPECT_EQ(cycle(glue_check_task, {press("Yes"), save_as(), press("OK")}),
              (Strings{"Confirmation", "Save File", "status"}));
    g_unsetenv("TOVIMO_FAKE_FFMPEG_STATUS");
    ++launches_;
    EXPECT_TRUE(wait_until([this] { return test_home.converter_calls().size() == launches_; }));
    // Held in a variable: g_str_has_prefix is a macro that would read a temporary after its end.
    EXPECT_TRUE(wait_until([] {
      const std::string status = converter_status();
      return g_str_has_prefix(status.c_str(), "The converter failed");
    }));
    for (GtkWidget* w : visible_windows("ffmpeg")) gtk_widget_destroy(w);

    check_task(kOrder);  // the save chooser cancelled
    EXPECT_EQ(cycle(glue_check_task, {press("Yes"), press("Cancel"), press("OK")}),
              (Strings{"Confirmation", "Save File", "Tovimo"}));

    check_task(kOrder);  // no converter to start
    test_home.hide_converter(true);
    EXPECT_EQ(cycle(glue_check_task, {press("Yes"), save_as(), press("OK")}),
              (Strings{"Confirmation", "Save File", "ffmpeg failure"}));
    test_home.hide_converter(false);

    // Not an .flv: tried again and cancelled, then declined to try again.
    EXPECT_EQ(cycle(glue_select_file, {choose_file(notes_), press("Yes"), press("Cancel")}),
              (Strings{"Open File", "Try again?", "Open File"}));
    EXPECT_EQ(cycle(glue_select_file, {choose_file(notes_), press("No")}),
              (Strings{"Open File", "Try again?"}));
    EXPECT_EQ(cycle(glue_select_file, {press("Cancel")}), Strings{"Open File"});
  }

  // Pops the menu up and chooses its item at `position` (-1: the last), as a click does.
  static void choose_from_menu(int position) {
    g_signal_emit_by_name(trayIcon.get(), "popup-menu", 3u, guint(GDK_CURRENT_TIME));
    GtkWidget* shown = menu;
    GList* items = gtk_container_get_children(GTK_CONTAINER(shown));
    GList* chosen = position < 0 ? g_list_last(items) : g_list_nth(items, position);
    GtkWidget* item = GTK_WIDGET(chosen->data);
    g_list_free(items);
    gtk_menu_shell_activate_item(GTK_MENU_SHELL(shown), item, TRUE);
  }

  // The tray: menus opened and dismissed, the key shown, the exit question declined.
  void tray_rows() {
    for (int i = 0; i < kMenusPerRound; ++i) {
      flv_movie = i % 2 ? std::optional<std::string>(clip_) : std::nullopt;
      g_signal_emit_by_name(trayIcon.get(), "popup-menu", 3u, guint(GDK_CURRENT_TIME));
      ASSERT_TRUE(GTK_IS_MENU(menu));
      gtk_menu_shell_cancel(GTK_MENU_SHELL(menu));
      EXPECT_EQ(menu, nullptr);
      ++menus_;
    }
    flv_movie.reset();
    EXPECT_EQ(step([] { choose_from_menu(4); }, {press("OK")}), Strings{"Key information"});
    EXPECT_EQ(step([] { choose_from_menu(-1); }, {press("No")}), Strings{"confirm"});
    menus_ += 2;
  }

  ScriptedService service_;
  std::string clip_;
  std::string notes_;
  size_t launches_ = 0;
  int cycles_ = 0;
  int menus_ = 0;
};

TEST_F(LeakTest, EveryWorkflowRowOverAndOver) {
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    cheap_rows();
    if (round % kCostlyEvery == 0) costly_rows();
    tray_rows();
    if (HasFailure()) break;  // one broken row is reported once, not a hundred times
  }
  std::printf("%d workflow cycles, %zu converter starts, %d menus\n", cycles_, launches_, menus_);
  EXPECT_GE(cycles_, 100);
}

// Choosers answered the moment they show, while the toolkit is still loading their folder: the
// toolkit's late answers must find a live chooser (valgrind reports any write into a freed one).
TEST_F(LeakTest, ChoosersAnsweredAtOnce) {
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    DialogDriver driver;
    driver.then(respond(GTK_RESPONSE_CANCEL)).then(respond(GTK_RESPONSE_CANCEL));
    EXPECT_EQ(ffmpeg_open_dialog(), std::nullopt);
    EXPECT_EQ(ffmpeg_saveto_dialog(i % 7 - 1), std::nullopt);
    EXPECT_TRUE(driver.drain());
    if (HasFailure()) break;
  }
}

}  // namespace
