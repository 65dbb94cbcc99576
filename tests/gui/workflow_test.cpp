// The conversion workflow end to end in-process: real choosers and dialogs answered by the
// test, a scripted service on loopback, the stand-in browser and converter.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/app.h"
#include "base/holders.h"
#include "client/client_api.h"
#include "convert/ffmpeg_exec.h"
#include "convert/glue.h"
#include "gui/gui_support.h"
#include "support/log_capture.h"
#include "support/loopback_server.h"
#include "tray/tray.h"
#include "tray/tray_menu.h"

namespace {

using Strings = std::vector<std::string>;

const std::string kStatus =
    "Now, please wait while converting in progress.\nWhen the window will be closed, check result";
const std::string kOrderQuestion = "You have one unfinished task. \n Do you want to process?";

// Save chooser: the proposed name in `folder`.
Answer save_into(const std::string& folder) {
  bool asked = false;
  return [folder, asked](GtkWidget* dialog) mutable {
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    if (!asked) {
      gtk_file_chooser_set_current_folder(chooser, folder.c_str());
      asked = true;
      return false;
    }
    GStr current(gtk_file_chooser_get_current_folder(chooser));
    if (!current || folder != current.get()) return false;  // still changing folder
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    return true;
  };
}

class WorkflowTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    clip_ = touch(test_home.desktop + "/clip.flv");
  }
  void TearDown() override {
    ProgramTest::TearDown();
    g_unsetenv("TOVIMO_FAKE_FFMPEG_STATUS");
  }

  static std::string touch(const std::string& path) {
    std::ofstream(path) << "FLV";
    return path;
  }

  // Selects `clip_` through the open chooser; the poll follows at once.
  bool select_clip(DialogDriver& driver) {
    driver.then(choose_file(clip_));
    return run_as_handler(glue_select_file);
  }

  std::string order_page() {
    return service_.server().base() + "index.php?data=" + kKey + "&ver=1";
  }

  // Walks a "Check task" whose poll brings `order` to its end: Yes to the question, `save`
  // in the save chooser, OK to whatever notice follows. Returns what was printed.
  std::string convert(DialogDriver& driver, const std::string& order, Answer save = save_as(),
                      bool replacing = false) {
    service_.reply("poll", {order});
    service_.reply("yes", {"OK"});
    flv_movie = flv_movie ? flv_movie : clip_;
    driver.then(press("Yes")).then(save);
    if (replacing) driver.then(respond(GTK_RESPONSE_ACCEPT));  // "Replace" the file there
    driver.then(press("OK"));
    testing::internal::CaptureStdout();
    run_as_handler(glue_check_task);
    return testing::internal::GetCapturedStdout();
  }

  // An AVI conversion into Videos whose stand-in converter runs `seconds`, with its other
  // options (TOVIMO_FAKE_FFMPEG_<name>) set, over a file there when `replacing`. Returns its
  // window once the converter has started, and the converter's process id in `pid`.
  GtkWidget* start_running(const char* seconds, std::vector<const char*> options = {},
                           bool replacing = false, std::string* pid = nullptr,
                           Answer save = save_as()) {
    options.push_back("SECONDS");
    for (const char* name : options) {
      g_setenv(("TOVIMO_FAKE_FFMPEG_" + std::string(name)).c_str(),
               g_str_equal(name, "SECONDS") ? seconds : "1", TRUE);
    }
    const std::vector<GtkWidget*> before = visible_windows("ffmpeg");
    const std::string record =
        test_home.converter_log + "/pid." + std::to_string(test_home.converter_calls().size());
    DialogDriver driver;
    convert(driver, "CONVERT AVI 0 0 0 0 0 0 0", save, replacing);
    for (const char* name : options)
      g_unsetenv(("TOVIMO_FAKE_FFMPEG_" + std::string(name)).c_str());
    EXPECT_TRUE(driver.drain());
    EXPECT_TRUE(driver.unexpected.empty());
    EXPECT_TRUE(wait_until([&] { return std::filesystem::exists(record); }));
    if (pid) *pid = read_line(record);
    for (GtkWidget* w : visible_windows("ffmpeg")) {
      if (std::find(before.begin(), before.end(), w) == before.end()) return w;
    }
    ADD_FAILURE() << "no window for the conversion";
    return nullptr;
  }

  std::string clip_;
};

TEST_F(WorkflowTest, FirstPollOpensTheOrderPageAndKeepsTheSelection) {
  service_.reply("poll", {"OK\r\n"});
  DialogDriver driver;
  EXPECT_FALSE(select_clip(driver));
  EXPECT_EQ(flv_movie, clip_);
  EXPECT_EQ(service_.server().commands(), Strings{"poll"});
  ASSERT_TRUE(wait_until([] { return !test_home.browser_urls().empty(); }));
  EXPECT_EQ(test_home.browser_urls(), Strings{order_page()});
  EXPECT_EQ(driver.titles(), Strings{"Open File"});
}

// After the order page the program checks by itself, 5 s later first; a check that fails shows
// nothing and ends nothing, even where a failed "Check task" ends the program.
TEST_F(WorkflowTest, CheckInTheBackgroundThatFailsShowsNothing) {
  Strings waits;
  for (unsigned round = 0; round < 6; ++round) {
    waits.push_back(std::to_string(glue_order_check_wait(round)));
  }
  EXPECT_EQ(waits, (Strings{"5", "10", "20", "40", "60", "60"}));
  service_.reply("poll", {"OK", ""});
  automode = 1;
  flv_movie = clip_;
  EXPECT_FALSE(run_as_handler(glue_check_task));
  EXPECT_EQ(tray_icon_tooltip(), "Tovimo: waiting for the order for clip.flv");
  DialogDriver driver;  // no answers: any dialog is unexpected
  EXPECT_TRUE(wait_until([this] { return service_.server().commands().size() == 2; }, 8000));
  EXPECT_TRUE(driver.drain());
  EXPECT_EQ(driver.titles(), Strings{});
  EXPECT_TRUE(tray_icon_shown());
  EXPECT_TRUE(glue_watching());
  EXPECT_EQ(flv_movie, clip_);
  glue_watch_stop();
  EXPECT_EQ(tray_icon_tooltip(), "");
}

TEST_F(WorkflowTest, OrderIsConfirmedSavedAndStarted) {
  DialogDriver driver;
  // While the save chooser is up, `yes` has gone out and the selection still stands.
  Strings commands_at_save;
  std::optional<std::string> selection_at_save;
  Answer save = [&, accept = save_as()](GtkWidget* chooser) {
    commands_at_save = service_.server().commands();
    selection_at_save = flv_movie;
    return accept(chooser);
  };
  const std::string printed = convert(driver, "CONVERT AVI 0 0 0 0 0 0 0\r\n", save);
  EXPECT_EQ(commands_at_save, (Strings{"poll", "yes"}));
  EXPECT_EQ(selection_at_save, clip_);
  const std::string destination = test_home.videos + "/movie.avi";
  EXPECT_EQ(printed, "ffmpeg -i '" + clip_ + "' -f avi -y '" + destination + "'\n");
  ASSERT_TRUE(wait_until([] { return !test_home.converter_calls().empty(); }));
  EXPECT_EQ(test_home.converter_calls()[0],
            (Strings{"ffmpeg", "-i", clip_, "-f", "avi", "-y", destination}));
  ASSERT_TRUE(driver.drain());
  EXPECT_EQ(driver.titles(), (Strings{"Confirmation", "Save File", "status"}));
  EXPECT_EQ(driver.seen[0].text, kOrderQuestion);
  EXPECT_EQ(driver.seen[2].text, kStatus);
  EXPECT_EQ(driver.seen[2].icon, "dialog-information");
  EXPECT_EQ(service_.server().commands(), (Strings{"poll", "yes"}));
  EXPECT_EQ(flv_movie, std::nullopt);
  // The converter's window closes by itself once the converter has succeeded.
  EXPECT_TRUE(wait_until([] { return visible_windows("ffmpeg").empty(); }));
}

TEST_F(WorkflowTest, EveryFormatStartsTheConverterWithItsOptions) {
  const std::vector<std::pair<std::string, Strings>> orders = {
      {"AVI", {"-f", "avi"}},
      {"WMV", {"-vcodec", "wmv1", "-acodec", "wmav2"}},
      {"3GP",
       {"-f", "3gp", "-s", "176x144", "-vcodec", "mpeg4", "-acodec", "libfaac", "-ab", "12.2k",
        "-ar", "8000", "-ac", "1"}},
      {"MOV", {"-f", "mov"}},
      {"PSP", {"-f", "psp"}},
      {"MP4", {"-f", "mp4", "-s", "320x240"}},
  };
  const std::string odd_clip = touch(test_home.desktop + "/it's a \"clip\" \\ here.flv");
  for (const auto& [format, options] : orders) {
    SCOPED_TRACE(format);
    test_home.forget_calls();
    flv_movie = odd_clip;
    DialogDriver driver;
    convert(driver, "CONVERT " + format + " 0 0 0 0 0 0 0");
    ASSERT_TRUE(wait_until([] { return !test_home.converter_calls().empty(); }));
    Strings expected = {"ffmpeg", "-i", odd_clip};
    expected.insert(expected.end(), options.begin(), options.end());
    std::string extension = format;
    for (char& c : extension) c = static_cast<char>(g_ascii_tolower(c));
    expected.insert(expected.end(), {"-y", test_home.videos + "/movie." + extension});
    EXPECT_EQ(test_home.converter_calls()[0], expected);
    EXPECT_TRUE(driver.drain());
  }
}

TEST_F(WorkflowTest, ServiceValuesReachTheConverterUnchanged) {
  DialogDriver driver;
  convert(driver, "CONVERT MOV 640x480 #1 'q' a\\b \"c\" 44100\t2 1", save_as("out 'quoted'.mov"));
  ASSERT_TRUE(wait_until([] { return !test_home.converter_calls().empty(); }));
  EXPECT_EQ(test_home.converter_calls()[0],
            (Strings{"ffmpeg",  "-i",       clip_,
                     "-f",      "mov",      "-s",
                     "640x480", "-b",       "#1",
                     "-vcodec", "a\\b",     "-acodec",
                     "\"c\"",   "-ab",      "'q'",
                     "-ar",     "44100\t2", "-ac",
                     "1",       "-y",       test_home.videos + "/out 'quoted'.mov"}));
  EXPECT_TRUE(driver.drain());
}

TEST_F(WorkflowTest, DecliningTheOrderSendsCancelAndEndsTheSelection) {
  for (Answer answer : {press("No"), close_window()}) {
    service_.reply("poll", {"CONVERT AVI 0 0 0 0 0 0 0"});
    service_.reply("cancel", {"OK\r\n"});
    flv_movie = clip_;
    DialogDriver driver;
    driver.then(answer);
    EXPECT_FALSE(run_as_handler(glue_check_task));
    EXPECT_EQ(driver.titles(), Strings{"Confirmation"});
    EXPECT_EQ(flv_movie, std::nullopt);
  }
  EXPECT_EQ(service_.server().commands(), (Strings{"poll", "cancel", "poll", "cancel"}));
  EXPECT_TRUE(test_home.converter_calls().empty());
}

TEST_F(WorkflowTest, CancelledSaveWarnsAfterYesWasSent) {
  service_.reply("poll", {"CONVERT MP4 0 0 0 0 0 0 0"});
  service_.reply("yes", {"OK"});
  flv_movie = clip_;
  DialogDriver driver;
  driver.then(press("Yes")).then(press("Cancel")).then(press("OK"));
  EXPECT_FALSE(run_as_handler(glue_check_task));
  ASSERT_TRUE(driver.drain());
  EXPECT_EQ(driver.titles(), (Strings{"Confirmation", "Save File", "Tovimo"}));
  EXPECT_EQ(driver.seen[2].text, "Canceled");
  EXPECT_EQ(driver.seen[2].icon, "dialog-warning");
  EXPECT_EQ(service_.server().commands(), (Strings{"poll", "yes"}));
  EXPECT_EQ(flv_movie, std::nullopt);
  EXPECT_TRUE(test_home.converter_calls().empty());
}

TEST_F(WorkflowTest, OrderThatDoesNotParseIsReportedAfterYes) {
  service_.reply("poll", {"CONVERT AVI 0 0"});
  service_.reply("yes", {"OK"});
  flv_movie = clip_;
  DialogDriver driver;
  driver.then(press("Yes")).then(press("OK"));
  EXPECT_FALSE(run_as_handler(glue_check_task));
  EXPECT_EQ(driver.titles(), (Strings{"Confirmation", "ffmpeg failure"}));
  EXPECT_EQ(driver.seen[1].text, "error while parsing");
  EXPECT_EQ(service_.server().commands(), (Strings{"poll", "yes"}));
  EXPECT_EQ(flv_movie, std::nullopt);
}

TEST_F(WorkflowTest, ErrorRepliesToYesAndCancelAreShownWholeWithoutQuitting) {
  // "Hello, padding" needs base64 padding at the end of the reply.
  const std::string error = "ERROR SGVsbG8sIHBhZGRpbmc=";
  {
    service_.reply("poll", {"CONVERT AVI 0 0 0 0 0 0 0"});
    service_.reply("yes", {error + "\r\n"});
    flv_movie = clip_;
    DialogDriver driver;
    driver.then(press("Yes")).then(press("OK"));
    EXPECT_FALSE(run_as_handler(glue_check_task));
    EXPECT_EQ(driver.titles(), (Strings{"Confirmation", "error"}));
    EXPECT_EQ(driver.seen[1].text, "Hello, padding");
  }
  {
    service_.reply("cancel", {error + "\r\n"});
    flv_movie = clip_;
    DialogDriver driver;
    driver.then(press("No")).then(press("OK"));
    EXPECT_FALSE(run_as_handler(glue_check_task));
    EXPECT_EQ(driver.titles(), (Strings{"Confirmation", "error"}));
    EXPECT_EQ(driver.seen[1].text, "Hello, padding");
  }
  EXPECT_TRUE(tray_icon_shown());
  EXPECT_EQ(flv_movie, std::nullopt);
}

TEST_F(WorkflowTest, UnrecognisedRepliesToYesAndCancelShowNothing) {
  for (const char* cmd : {"yes", "cancel"}) {
    SCOPED_TRACE(cmd);
    service_.reply("poll", {"CONVERT AVI 0 0 0 0 0 0 0"});
    service_.reply(cmd, {"maybe later"});
    flv_movie = clip_;
    DialogDriver driver;
    driver.then(press(std::string(cmd) == "yes" ? "Yes" : "No"));
    EXPECT_FALSE(run_as_handler(glue_check_task));
    EXPECT_EQ(driver.titles(), Strings{"Confirmation"});
    EXPECT_EQ(flv_movie, std::nullopt);
  }
  EXPECT_TRUE(test_home.converter_calls().empty());
}

TEST_F(WorkflowTest, PollErrorIsShownWholeAndEndsTheProgram) {
  service_.reply("poll", {"ERROR SGVsbG8sIHBhZGRpbmc=\r\n"});
  flv_movie = clip_;
  DialogDriver driver;
  driver.then(press("OK"));
  EXPECT_TRUE(run_as_handler(glue_check_task));
  EXPECT_EQ(driver.titles(), Strings{"error"});
  EXPECT_EQ(driver.seen[0].text, "Hello, padding");
  EXPECT_EQ(driver.seen[0].icon, "dialog-error");
  EXPECT_FALSE(tray_icon_shown());
}

TEST_F(WorkflowTest, PollErrorWithoutMessageIsUnhandledAndEndsTheProgram) {
  service_.reply("poll", {"ERROR"});
  flv_movie = clip_;
  DialogDriver driver;
  driver.then(press("OK"));
  EXPECT_TRUE(run_as_handler(glue_check_task));
  EXPECT_EQ(driver.titles(), Strings{"unhandled error"});
  EXPECT_EQ(driver.seen[0].text, "UNHANDLED ERROR");
}

TEST_F(WorkflowTest, ErrorAndOrderTogetherStillAskBeforeTheEnd) {
  service_.reply("poll", {"ERROR SGVsbG8= CONVERT AVI 0 0 0 0 0 0 0"});
  service_.reply("cancel", {"OK"});
  flv_movie = clip_;
  DialogDriver driver;
  driver.then(press("OK")).then([](GtkWidget* dialog) {
    // The icon is already gone while the order question is up.
    EXPECT_FALSE(tray_icon_shown());
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_NO);
    return true;
  });
  EXPECT_TRUE(run_as_handler(glue_check_task));
  EXPECT_EQ(driver.titles(), (Strings{"error", "Confirmation"}));
  EXPECT_EQ(driver.seen[0].text, "Hello");
  EXPECT_EQ(service_.server().commands(), (Strings{"poll", "cancel"}));
}

// Once the workflow has asked the program to end, the tray starts nothing, though the main loop
// still runs on the way out and may hand it a queued entry or a click.
TEST_F(WorkflowTest, NothingStartsFromTheTrayOnceTheEndIsAsked) {
  service_.reply("poll", {"ERROR SGVsbG8="});
  flv_movie = clip_;
  {
    DialogDriver driver;
    driver.then(press("OK"));
    ASSERT_TRUE(run_as_handler(glue_check_task));
  }
  DialogDriver driver;  // no answers: any dialog is unexpected
  for (const TrayMenuEntry& entry : tray_menu_entries()) {
    if (entry.handler) entry.handler(nullptr, nullptr);
  }
  tray_activate();
  EXPECT_TRUE(driver.drain());
  EXPECT_EQ(driver.titles(), Strings{});
  EXPECT_EQ(service_.server().commands(), Strings{"poll"});
  EXPECT_TRUE(test_home.browser_urls().empty());
  EXPECT_FALSE(tray_icon_shown());
}

TEST_F(WorkflowTest, FailedPollKeepsTheSelectionUnlessInAutomode) {
  service_.reply("poll", {""});  // no body: no reply
  flv_movie = clip_;
  {
    DialogDriver driver;
    driver.then(press("OK"));
    EXPECT_FALSE(run_as_handler(glue_check_task));
    EXPECT_EQ(driver.titles(), Strings{"poll failed"});
    EXPECT_EQ(driver.seen[0].text, "error while polling the server");
    EXPECT_EQ(flv_movie, clip_);
    EXPECT_TRUE(tray_icon_shown());
  }
  automode = 1;
  {
    DialogDriver driver;
    driver.then(press("OK"));
    EXPECT_TRUE(run_as_handler(glue_check_task));
    EXPECT_FALSE(tray_icon_shown());
  }
}

TEST_F(WorkflowTest, BlankOrUndecodablePollIsADataErrorThatEndsTheProgram) {
  for (const char* body : {" \r\n \r\n", "\xff\xfeOK"}) {
    service_.reply("poll", {body});
    flv_movie = clip_;
    DialogDriver driver;
    driver.then(press("OK"));
    EXPECT_TRUE(run_as_handler(glue_check_task));
    EXPECT_EQ(driver.titles(), Strings{"data error"});
    EXPECT_EQ(driver.seen[0].text, "data transmission error");
  }
}

TEST_F(WorkflowTest, UnknownPollReplyChangesNothing) {
  service_.reply("poll", {"ok"});
  flv_movie = clip_;
  DialogDriver driver;
  EXPECT_FALSE(run_as_handler(glue_check_task));
  EXPECT_TRUE(driver.seen.empty());
  EXPECT_EQ(flv_movie, clip_);
  EXPECT_TRUE(test_home.browser_urls().empty());
}

TEST_F(WorkflowTest, OnlyDotFlvPassesAndEachTryStartsAFreshChooser) {
  const std::string upper = touch(test_home.desktop + "/CLIP.FLV");
  const std::string dotted_dir = test_home.desktop + "/my.videos";
  g_mkdir_with_parents(dotted_dir.c_str(), 0700);
  const std::string no_extension = touch(dotted_dir + "/clip");
  const std::string backup = touch(test_home.desktop + "/clip.flv.bak");
  service_.reply("poll", {"OK"});
  DialogDriver driver;
  const Strings rejected = {upper, no_extension, backup};
  for (const std::string& path : rejected) driver.then(choose_file(path)).then(press("Yes"));
  driver.then(choose_file(clip_));
  EXPECT_FALSE(run_as_handler(glue_select_file));
  EXPECT_EQ(driver.titles(), (Strings{"Open File", "Try again?", "Open File", "Try again?",
                                      "Open File", "Try again?", "Open File"}));
  EXPECT_EQ(driver.seen[1].text, "You have selected not valid flash movie (.flv)\nTry again?");
  EXPECT_EQ(service_.server().commands(), Strings{"poll"});  // exactly once, for the last file
  EXPECT_EQ(flv_movie, clip_);

  EXPECT_TRUE(glue_has_flv_extension("/x/.flv"));
  EXPECT_FALSE(glue_has_flv_extension("/x/clip.Flv"));
  EXPECT_FALSE(glue_has_flv_extension("clip"));
}

TEST_F(WorkflowTest, DecliningToTryAgainOrCancellingLeavesNoFileSelected) {
  const std::string text = touch(test_home.desktop + "/notes.txt");
  flv_movie = clip_;
  {
    DialogDriver driver;
    driver.then(choose_file(text)).then(press("No"));
    run_as_handler(glue_select_file);
    EXPECT_EQ(flv_movie, std::nullopt);
  }
  flv_movie = clip_;
  {
    DialogDriver driver;
    driver.then(press("Cancel"));
    run_as_handler(glue_select_file);
    EXPECT_EQ(flv_movie, std::nullopt);
  }
  EXPECT_TRUE(service_.server().requests().empty());
}

TEST_F(WorkflowTest, ConverterThatCannotStartIsReportedWithoutTheStatusNotice) {
  test_home.hide_converter(true);
  DialogDriver driver;
  convert(driver, "CONVERT AVI 0 0 0 0 0 0 0");
  test_home.hide_converter(false);
  ASSERT_TRUE(driver.drain());
  EXPECT_EQ(driver.titles(), (Strings{"Confirmation", "Save File", "ffmpeg failure"}));
  EXPECT_NE(driver.seen[2].text.find("\"ffmpeg\" was not found"), std::string::npos)
      << driver.seen[2].text;
  EXPECT_EQ(flv_movie, std::nullopt);
}

TEST_F(WorkflowTest, FailedConversionKeepsItsWindowWithTheReason) {
  g_setenv("TOVIMO_FAKE_FFMPEG_STATUS", "3", TRUE);
  g_setenv("TOVIMO_FAKE_FFMPEG_STDERR", "Unknown encoder 'libfaac'", TRUE);
  DialogDriver driver;
  convert(driver, "CONVERT AVI 0 0 0 0 0 0 0");
  g_unsetenv("TOVIMO_FAKE_FFMPEG_STDERR");
  ASSERT_TRUE(driver.drain());
  std::string shown;
  ASSERT_TRUE(wait_until([&] {
    GtkWidget* window = converter_window();
    shown = window ? shown_text(window) : "";
    return shown.find("exit status 3") != std::string::npos;
  })) << shown;
  EXPECT_NE(shown.find("The converter failed with exit status 3."), std::string::npos) << shown;
  EXPECT_NE(shown.find("Unknown encoder 'libfaac'"), std::string::npos) << shown;
  EXPECT_NE(shown.find("frame=3"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("frame=1"), std::string::npos) << shown;  // progress rewrote its line
  for (GtkWidget* window : visible_windows("ffmpeg")) gtk_widget_destroy(window);
}

TEST_F(WorkflowTest, ConversionShowsItsProgressAndStopEndsItAndWhatItStarted) {
  std::string converter;
  GtkWidget* window = start_running("60", {"CHILD", "OUTPUT"}, false, &converter);
  ASSERT_NE(window, nullptr);
  const std::string destination = test_home.videos + "/movie.avi";
  const std::string child = read_line(test_home.converter_log + "/child.0");
  ASSERT_TRUE(std::filesystem::exists(destination));

  // Half of the stand-in's 10 s input is done, read from its output.
  ASSERT_TRUE(wait_until([&] {
    return bar_text(window).rfind("50 % \xE2\x80\x94 about ", 0) == 0;
  })) << bar_text(window);

  GtkWidget* stop = press_button(window, "Stop");
  ASSERT_NE(stop, nullptr);
  // The child ignores the request to end, so the group is ended for good a few seconds later.
  const std::string stopped =
      "The conversion was stopped. The unfinished file " + destination + " was removed.";
  ASSERT_TRUE(wait_until([&] { return shows(window, stopped); })) << shown_text(window);
  EXPECT_TRUE(process_ended(converter));
  EXPECT_TRUE(wait_until([&] { return process_ended(child); }, 2000));  // killed, not yet gone
  EXPECT_FALSE(std::filesystem::exists(destination));
  EXPECT_FALSE(gtk_widget_get_sensitive(stop));
  gtk_widget_destroy(window);
}

TEST_F(WorkflowTest, ClosingTheWindowAsksAndNoLeavesTheConverterRunning) {
  std::string converter;
  GtkWidget* window = start_running("60", {}, false, &converter);
  ASSERT_NE(window, nullptr);

  DialogDriver question;
  question.then(press("No"));
  close_window()(window);
  ASSERT_TRUE(question.drain());
  EXPECT_EQ(question.titles(), Strings{"Stop the conversion?"});
  EXPECT_EQ(question.seen[0].text, "The conversion to " + test_home.videos +
                                       "/movie.avi is still running.\nDo you want to stop it?");
  EXPECT_EQ(converter_window(), nullptr);
  EXPECT_FALSE(process_ended(converter));
  kill(-std::stoi(converter), SIGKILL);
  EXPECT_TRUE(wait_until([&] { return process_ended(converter); }));
}

// The program ends soon after Stop, before the converter's grace period is over: what the
// converter started is ended for good and the unfinished file removed on the way out.
TEST_F(WorkflowTest, EndingJustAfterStopFinishesTheStop) {
  GtkWidget* window = start_running("60", {"CHILD", "OUTPUT"});
  ASSERT_NE(window, nullptr);
  const std::string destination = test_home.videos + "/movie.avi";
  const std::string child = read_line(test_home.converter_log + "/child.0");
  press_button(window, "Stop");
  EXPECT_TRUE(run_as_handler(application_quit));
  ffmpeg_finish_stops();  // as main does once its loop has ended
  EXPECT_TRUE(shows(window, "The unfinished file " + destination + " was removed."))
      << shown_text(window);
  EXPECT_FALSE(std::filesystem::exists(destination));
  EXPECT_TRUE(wait_until([&] { return process_ended(child); }, 2000));  // killed, not yet gone
  gtk_widget_destroy(window);
}

// Stop removes only what its own converter wrote: not a finished file it was to replace and
// never opened, nor a file that another running conversion writes.
TEST_F(WorkflowTest, StopRemovesOnlyWhatItsConverterWrote) {
  const std::string destination = test_home.videos + "/movie.avi";
  std::ofstream(destination) << "finished";
  const auto content = [&] {
    std::ifstream in(destination);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };

  GtkWidget* replacing = start_running("60", {}, true);
  ASSERT_NE(replacing, nullptr);
  press_button(replacing, "Stop");
  EXPECT_TRUE(wait_until([&] { return shows(replacing, "stopped before it wrote"); }))
      << shown_text(replacing);
  EXPECT_EQ(content(), "finished");

  gtk_widget_destroy(replacing);

  // Two running conversions to one file, under its own name or through a linked folder: a Stop
  // of the one that has not written keeps what the other writes; the writer's Stop removes it.
  const std::string linked = test_home.root + "/linked-videos";
  std::filesystem::create_directory_symlink(test_home.videos, linked);
  for (const std::string& folder : {test_home.videos, linked}) {
    SCOPED_TRACE(folder);
    GtkWidget* writing =
        start_running("60", {"OUTPUT"}, std::filesystem::exists(destination), nullptr, save_as());
    GtkWidget* idle = start_running("60", {}, true, nullptr, save_into(folder));
    ASSERT_TRUE(writing && idle);
    ASSERT_EQ(test_home.converter_calls().back().back(), folder + "/movie.avi");
    EXPECT_EQ(content(), "unfinished");
    press_button(idle, "Stop");
    EXPECT_TRUE(wait_until([&] { return shows(idle, "kept: another conversion is writing it"); }))
        << shown_text(idle);
    EXPECT_EQ(content(), "unfinished");
    press_button(writing, "Stop");
    EXPECT_TRUE(wait_until([&] { return shows(writing, "The unfinished file"); }))
        << shown_text(writing);
    EXPECT_FALSE(std::filesystem::exists(destination));
    gtk_widget_destroy(writing);
    gtk_widget_destroy(idle);
  }
}

// The conversion ends, and its window's time to close passes, while the question whether to
// stop it is open: the window waits for the answer, which then closes it.
TEST_F(WorkflowTest, ConversionThatEndsWhileClosingIsAskedKeepsItsWindowForTheAnswer) {
  std::string converter;
  GtkWidget* window = start_running("1", {}, false, &converter);
  ASSERT_NE(window, nullptr);

  gint64 ended_at = 0;
  bool open_at_answer = false;
  DialogDriver question;
  question.then([&](GtkWidget* dialog) {
    // Answered twice the window's closing delay after the converter has ended.
    if (!ended_at && process_ended(converter)) ended_at = g_get_monotonic_time();
    if (!ended_at || g_get_monotonic_time() - ended_at < 3 * G_USEC_PER_SEC) return false;
    open_at_answer = converter_window() == window;
    return press("No")(dialog);
  });
  press_button(window, "Close");  // returns once the question is answered
  ASSERT_TRUE(question.drain());
  EXPECT_EQ(question.titles(), Strings{"Stop the conversion?"});
  EXPECT_TRUE(open_at_answer);
  EXPECT_EQ(converter_window(), nullptr);
}

TEST_F(WorkflowTest, DoneConversionIsAnnouncedAndItsActionOpensTheFolder) {
  // Folders open in the stand-in browser, which records them.
  std::ofstream(test_home.home + "/.local/share/applications/tovimo-test-folders.desktop")
      << "[Desktop Entry]\nType=Application\nName=Test folders\nExec=" TOVIMO_TEST_SUPPORT_DIR
         "/record-url %u\nMimeType=inode/directory;\nNoDisplay=true\n";
  std::ofstream(test_home.home + "/.config/mimeapps.list", std::ios::app)
      << "inode/directory=tovimo-test-folders.desktop\n";
  // A private session bus with a stand-in notification service that clicks every action.
  const gchar* bus_argv[] = {"dbus-daemon",       "--session",     "--fork", "--nopidfile",
                             "--print-address=1", "--print-pid=1", nullptr};
  gchar* bus_out = nullptr;
  ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<gchar**>(bus_argv), nullptr, G_SPAWN_SEARCH_PATH,
                           nullptr, nullptr, &bus_out, nullptr, nullptr, nullptr));
  StrVec bus_lines(g_strsplit(take_text(bus_out).value_or("").c_str(), "\n", 3));
  ASSERT_TRUE(bus_lines.get()[0] && bus_lines.get()[1]);
  const int bus_pid = std::atoi(bus_lines.get()[1]);
  const std::shared_ptr<void> end_bus(nullptr, [bus_pid](void*) {
    kill(bus_pid, SIGTERM);
    g_unsetenv("DBUS_SESSION_BUS_ADDRESS");
  });
  g_setenv("DBUS_SESSION_BUS_ADDRESS", bus_lines.get()[0], TRUE);
  GObj<GDBusConnection> session(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
  ASSERT_TRUE(session);
  g_dbus_connection_set_exit_on_close(session.get(), FALSE);
  const std::string log = test_home.root + "/notifications.log";
  const gchar* argv[] = {TOVIMO_TEST_SUPPORT_DIR "/fake-notifications", log.c_str(), "--invoke",
                         nullptr};
  GPid service = 0;
  ASSERT_TRUE(g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD,
                            nullptr, nullptr, &service, nullptr));
  ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(log); }));

  DialogDriver driver;
  convert(driver, "CONVERT AVI 0 0 0 0 0 0 0");
  ASSERT_TRUE(driver.drain());
  EXPECT_TRUE(wait_until([&] { return !test_home.browser_urls().empty(); }));
  EXPECT_EQ(test_home.browser_urls(), Strings{test_home.videos});  // given as a local path
  EXPECT_EQ(read_line(log),
            "{\"summary\": \"Conversion done\", \"body\": \"movie.avi is ready in " +
                test_home.videos + ".\", \"actions\": [\"open\", \"Open folder\"]}");
  EXPECT_TRUE(wait_until([] { return converter_window() == nullptr; }));
}

TEST_F(WorkflowTest, PreconditionsWarnAndDoNothing) {
  LogCapture log;
  glue_check_task();
  EXPECT_TRUE(log.has_critical("glue_check_task", "flv_movie != NULL")) << log.text();
  flv_movie = clip_;
  in_progress = 1;
  glue_check_task();
  EXPECT_TRUE(log.has_critical("glue_check_task", "in_progress == FALSE")) << log.text();
  EXPECT_TRUE(service_.server().requests().empty());
}

TEST_F(WorkflowTest, MissingTextsAreUnhandledErrorsThatEndTheProgram) {
  for (void (*step)(const char*) : {&glue_convert_process, &glue_error_process}) {
    DialogDriver driver;
    driver.then(press("OK"));
    EXPECT_TRUE(run_as_handler([step] { step(nullptr); }));
    EXPECT_EQ(driver.titles(), Strings{"unhandled error"});
  }
}

}  // namespace
