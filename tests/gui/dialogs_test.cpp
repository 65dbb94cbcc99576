// The five message dialogs as the user sees and answers them.
#include <gtest/gtest.h>

#include <glib/gstdio.h>

#include "app/app.h"
#include "gui/gui_support.h"
#include "ui/edialogs.h"

namespace {

class DialogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    parent_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    main_window = parent_;
  }
  void TearDown() override {
    main_window = nullptr;
    gtk_widget_destroy(parent_);
  }
  GtkWidget* parent_ = nullptr;
};

size_t open_dialogs() {
  size_t n = 0;
  GList* toplevels = gtk_window_list_toplevels();
  for (GList* l = toplevels; l; l = l->next) n += GTK_IS_DIALOG(l->data) ? 1 : 0;
  g_list_free(toplevels);
  return n;
}

TEST_F(DialogsTest, QuestionsReturnYesOnlyForYes) {
  struct Case {
    const char* name;
    Answer answer;
    int expected;
  };
  const Case cases[] = {{"yes", press("Yes"), 1},
                        {"no", press("No"), 0},
                        {"close", close_window(), 0},
                        {"escape", escape(), 0}};
  for (const Case& c : cases) {
    for (auto* ask : {&confirm_dialog_run, &exit_dialog_run}) {
      SCOPED_TRACE(c.name);
      DialogDriver driver;
      driver.then(c.answer);
      EXPECT_EQ(ask("Confirm", "Do you want to select file to convert?"), c.expected);
      EXPECT_EQ(open_dialogs(), 0u);  // destroyed before the function returned
      ASSERT_EQ(driver.seen.size(), 1u);
      const SeenDialog& d = driver.seen[0];
      EXPECT_EQ(d.title, "Confirm");
      EXPECT_EQ(d.text, "Do you want to select file to convert?");
      EXPECT_EQ(d.buttons, (std::vector<std::string>{"Yes", "No"}));
      EXPECT_EQ(d.icon, ask == &confirm_dialog_run ? "dialog-question" : "file");
      EXPECT_TRUE(d.modal);
      EXPECT_TRUE(d.transient_for_main);
      EXPECT_TRUE(d.centred);
      EXPECT_FALSE(d.selectable);
    }
  }
}

TEST_F(DialogsTest, EachMemberHasItsIconAndDefaultText) {
  DialogDriver driver;
  driver.then(press("OK")).then(press("Yes")).then(press("No"));
  error_dialog_run(nullptr, nullptr);
  EXPECT_EQ(confirm_dialog_run(nullptr, nullptr), 1);
  EXPECT_EQ(exit_dialog_run(nullptr, nullptr), 0);
  warn_dialog_run(nullptr, nullptr);
  info_dialog_run(nullptr, nullptr);
  driver.then(press("OK")).then(press("OK"));
  ASSERT_TRUE(driver.drain());
  ASSERT_EQ(driver.seen.size(), 5u);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Unhandled error", "dialog-error"},
      {"Are You sure?", "dialog-question"},
      {"Are You sure?", "file"},
      {"NULL", "dialog-information"},  // the newer notice is on top and answered first
      {"Unhandled warning", "dialog-warning"},
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(driver.seen[i].text, expected[i].first);
    EXPECT_EQ(driver.seen[i].icon, expected[i].second);
    // The theme has it: no picture of a missing image.
    EXPECT_TRUE(driver.seen[i].icon_found || expected[i].second == "file");
    EXPECT_EQ(driver.seen[i].title, "");
  }
  EXPECT_EQ(driver.seen[0].buttons, std::vector<std::string>{"OK"});
  EXPECT_TRUE(driver.seen[3].selectable);  // the information notice's text can be copied
  EXPECT_FALSE(driver.seen[4].selectable);
  EXPECT_TRUE(driver.unexpected.empty());
}

TEST_F(DialogsTest, NoticesReturnAtOnceAndCloseThemselvesWhenAnswered) {
  std::string text = "first line\nsecond line";
  warn_dialog_run("Tovimo", text.c_str());
  info_dialog_run("Key information", "Your key is : abc");
  text.assign("overwritten after the call");
  EXPECT_EQ(visible_windows("Tovimo").size(), 1u);
  EXPECT_EQ(visible_windows("Key information").size(), 1u);
  DialogDriver driver;
  driver.then(press("OK")).then(close_window());
  ASSERT_TRUE(driver.drain());
  EXPECT_TRUE(visible_windows("Tovimo").empty());
  EXPECT_TRUE(visible_windows("Key information").empty());
  ASSERT_EQ(driver.seen.size(), 2u);
  EXPECT_EQ(driver.seen[0].title, "Key information");
  EXPECT_EQ(driver.seen[1].text, "first line\nsecond line");  // the caller's text was copied
  EXPECT_EQ(open_dialogs(), 0u);
}

TEST_F(DialogsTest, ErrorDialogWaitsForTheAnswer) {
  DialogDriver driver;
  driver.then(escape());
  error_dialog_run("login error", "Cannot login to the system");
  EXPECT_EQ(driver.pending(), 0u);
  EXPECT_EQ(open_dialogs(), 0u);
  ASSERT_EQ(driver.seen.size(), 1u);
  EXPECT_EQ(driver.seen[0].icon, "dialog-error");
  EXPECT_EQ(driver.seen[0].text, "Cannot login to the system");
}

TEST_F(DialogsTest, WorkWithoutParentAndWithoutTheExitPicture) {
  main_window = nullptr;
  ASSERT_EQ(g_rename("exit.png", "exit.png.away"), 0);
  DialogDriver driver;
  driver.then(press("Yes"));
  EXPECT_EQ(exit_dialog_run("confirm", "Are you sure?"), 1);
  g_rename("exit.png.away", "exit.png");
  ASSERT_EQ(driver.seen.size(), 1u);
  EXPECT_FALSE(driver.seen[0].transient_for_main);
  EXPECT_EQ(driver.seen[0].text, "Are you sure?");
}

}  // namespace
