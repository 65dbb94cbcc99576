// The open and save choosers: where they start, what they propose, what they return.
#include <gtest/gtest.h>

#include <climits>
#include <fstream>

#include <glib/gstdio.h>

#include "base/holders.h"
#include "convert/svdialog.h"
#include "gui/gui_support.h"

namespace {

void touch(const std::string& path) {
  std::ofstream(path) << "x";
}

TEST(ChoosersTest, OpenChooserStartsOnTheDesktopAndReturnsTheChosenPath) {
  const std::string clip = test_home.desktop + "/clip.txt";
  touch(clip);
  DialogDriver driver;
  driver.then(choose_file(clip));
  EXPECT_EQ(ffmpeg_open_dialog(), clip);  // any extension is listed and returned
  ASSERT_EQ(driver.seen.size(), 1u);
  const SeenDialog& d = driver.seen[0];
  EXPECT_EQ(d.title, "Open File");
  EXPECT_EQ(d.action, GTK_FILE_CHOOSER_ACTION_OPEN);
  EXPECT_EQ(d.buttons, (std::vector<std::string>{"Cancel", "Save"}));
  EXPECT_EQ(d.folder, test_home.desktop);
  EXPECT_FALSE(d.overwrite_confirmation);
  EXPECT_FALSE(d.transient_for_main);
  EXPECT_TRUE(d.centred);
  EXPECT_TRUE(visible_windows("Open File").empty());
}

TEST(ChoosersTest, CancelCloseAndEscapeReturnNone) {
  for (Answer answer : {press("Cancel"), close_window(), escape()}) {
    DialogDriver driver;
    driver.then(answer).then(answer);
    EXPECT_EQ(ffmpeg_open_dialog(), std::nullopt);
    EXPECT_EQ(ffmpeg_saveto_dialog(0), std::nullopt);
    EXPECT_EQ(driver.seen.size(), 2u);
    EXPECT_TRUE(visible_windows("Save File").empty());
  }
}

TEST(ChoosersTest, SaveChooserProposesANameByFormatCode) {
  const std::vector<std::pair<int, std::string>> cases = {
      {0, "movie.avi"}, {1, "movie.wmv"}, {2, "movie.3gp"}, {3, "movie.mov"}, {4, "movie.psp"},
      {5, "movie.mp4"}, {-1, ""},         {6, ""},          {INT_MIN, ""},    {255, ""}};
  for (const auto& [code, name] : cases) {
    SCOPED_TRACE(code);
    DialogDriver driver;
    driver.then(press("Cancel"));
    EXPECT_EQ(ffmpeg_saveto_dialog(code), std::nullopt);
    ASSERT_EQ(driver.seen.size(), 1u);
    const SeenDialog& d = driver.seen[0];
    EXPECT_EQ(d.title, "Save File");
    EXPECT_EQ(d.action, GTK_FILE_CHOOSER_ACTION_SAVE);
    EXPECT_EQ(d.buttons, (std::vector<std::string>{"Cancel", "Save"}));
    EXPECT_EQ(d.folder, test_home.videos);
    EXPECT_EQ(d.text, name);
    EXPECT_TRUE(d.overwrite_confirmation);
    EXPECT_TRUE(d.centred);
  }
}

TEST(ChoosersTest, SaveChooserReturnsTheProposedOrTypedName) {
  DialogDriver driver;
  driver.then(save_as()).then(save_as("holiday.webm")).then(save_as("no extension"));
  EXPECT_EQ(ffmpeg_saveto_dialog(2), test_home.videos + "/movie.3gp");
  EXPECT_EQ(ffmpeg_saveto_dialog(0), test_home.videos + "/holiday.webm");
  EXPECT_EQ(ffmpeg_saveto_dialog(0), test_home.videos + "/no extension");
}

TEST(ChoosersTest, SaveChooserAsksBeforeReplacingAFile) {
  const std::string existing = test_home.videos + "/movie.avi";
  touch(existing);
  {
    // Declining the replacement returns to the chooser, which the user then cancels.
    DialogDriver driver;
    driver.then(save_as()).then(respond(GTK_RESPONSE_CANCEL)).then(press("Cancel"));
    EXPECT_EQ(ffmpeg_saveto_dialog(0), std::nullopt);
    ASSERT_EQ(driver.seen.size(), 3u);
    EXPECT_NE(driver.seen[1].text.find("already exists"), std::string::npos);
    EXPECT_EQ(driver.seen[2].title, "Save File");
  }
  {
    DialogDriver driver;
    driver.then(save_as()).then(respond(GTK_RESPONSE_ACCEPT));
    EXPECT_EQ(ffmpeg_saveto_dialog(0), existing);
    EXPECT_EQ(driver.seen.size(), 2u);
  }
  g_remove(existing.c_str());
}

TEST(ChoosersTest, EachChooserStartsAfreshInItsFolder) {
  const std::string elsewhere = test_home.home + "/elsewhere";
  g_mkdir_with_parents(elsewhere.c_str(), 0700);
  touch(elsewhere + "/a.flv");
  DialogDriver driver;
  std::optional<std::string> carried, folder;
  driver.then(choose_file(elsewhere + "/a.flv")).then([&](GtkWidget* chooser) {
    // The chooser changes folders in the background; a user looks once it has.
    folder = take_text(gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(chooser)));
    if (folder != test_home.desktop) return false;
    carried = take_text(gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser)));
    gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_CANCEL);
    return true;
  });
  EXPECT_EQ(ffmpeg_open_dialog(), elsewhere + "/a.flv");
  EXPECT_EQ(ffmpeg_open_dialog(), std::nullopt);
  EXPECT_EQ(folder, test_home.desktop);
  EXPECT_EQ(carried, std::nullopt);  // the last choice is not selected again
  EXPECT_TRUE(driver.unexpected.empty());
}

}  // namespace
