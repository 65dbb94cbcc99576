// Start-up in-process: the checks, the login's answers, the announcement, the launch's own
// refusals.
#include <gtest/gtest.h>

#include <glib/gstdio.h>

#include <cstring>

#include "app/app.h"
#include "app/help.h"
#include "client/client_api.h"
#include "convert/ffmpeg_exec.h"
#include "gui/gui_support.h"
#include "support/loopback_server.h"

namespace {

using Strings = std::vector<std::string>;

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_reset();
    gs_service_base = service_.server().base();
    hash = "ffeeddccbbaa99887766554433221100";
  }
  ScriptedService service_;
};

TEST_F(AppTest, InitLoadsTheInterfaceAndComputesTheKey) {
  int argc = 0;
  char** argv = nullptr;
  DialogDriver driver;
  ASSERT_EQ(application_init(&argc, &argv), 1);
  EXPECT_TRUE(driver.seen.empty());
  ASSERT_TRUE(xml);
  ASSERT_TRUE(GTK_IS_WINDOW(main_window));
  EXPECT_FALSE(gtk_widget_get_visible(main_window));  // never shown
  ASSERT_TRUE(hash);
  EXPECT_EQ(hash->size(), 32u);
  EXPECT_EQ(*hash, *gs_md5hash(macaddr->c_str()));
  EXPECT_EQ(in_progress, 0);
}

TEST_F(AppTest, MissingConverterStopsTheStart) {
  test_home.hide_converter(true);
  int argc = 0;
  char** argv = nullptr;
  DialogDriver driver;
  driver.then(press("OK"));
  EXPECT_EQ(application_init(&argc, &argv), 0);
  test_home.hide_converter(false);
  EXPECT_EQ(driver.titles(), Strings{"ffmpeg error"});
  EXPECT_EQ(driver.seen[0].text, "Sorry, but you haven't yet ffmpeg");
}

TEST_F(AppTest, LoginAnswersSetTheModes) {
  const std::vector<std::tuple<std::string, int, int>> accepted = {
      {"OK\r\n", 0, 0}, {"  AUTOOK ", 1, 0}, {"NEWBIE", 0, 1}};
  for (const auto& [reply, expected_automode, expected_newbie] : accepted) {
    SCOPED_TRACE(reply);
    service_.reply("login", {reply});
    automode = 7;
    newbie = 0;
    DialogDriver driver;
    EXPECT_EQ(app_try_login(), 1);
    EXPECT_EQ(automode, expected_automode);
    EXPECT_EQ(newbie, expected_newbie);
    EXPECT_TRUE(driver.seen.empty());
  }
}

TEST_F(AppTest, LoginRefusalsAreShownAsDesigned) {
  const std::vector<std::pair<std::string, Strings>> cases = {
      {"ok", {"Cannot login to the system"}},
      {"Account locked.\r\nCall us.", {"Account locked.\r\nCall us."}},
      {"K", {}},
      {"OK" + std::string(499, ' '), {}},
      {"", {"Cannot login to the system"}},  // no reply at all
  };
  for (const auto& [reply, texts] : cases) {
    SCOPED_TRACE(reply.size());
    service_.reply("login", {reply});
    DialogDriver driver;
    if (!texts.empty()) driver.then(press("OK"));
    EXPECT_EQ(app_try_login(), 0);
    Strings shown;
    for (const SeenDialog& d : driver.seen) {
      EXPECT_EQ(d.title, "login error");
      shown.push_back(d.text);
    }
    EXPECT_EQ(shown, texts);
  }
}

TEST_F(AppTest, AnnouncementIsSkippedOnlyForExactlySkip) {
  int argc = 0;
  char** argv = nullptr;
  ASSERT_EQ(application_init(&argc, &argv), 1);
  {
    DialogDriver driver;
    try_show_help();
    EXPECT_TRUE(driver.seen.empty());
    const RecordedRequest r = service_.server().requests().back();
    EXPECT_EQ(r.target, "/tovimo/hp.php?hash=" + *hash + "&ver=1");
  }
  service_.announce("<b>New</b> formats &amp; more\r\n");
  {
    DialogDriver driver;
    driver.then(press("OK"));
    try_show_help();
    ASSERT_EQ(driver.seen.size(), 1u);
    EXPECT_EQ(driver.seen[0].text, "New formats & more\n");  // the label shows CR LF as one break
    EXPECT_TRUE(driver.seen[0].use_markup);
    EXPECT_TRUE(driver.seen[0].selectable);
    EXPECT_TRUE(driver.seen[0].centred);
    EXPECT_FALSE(
        gtk_widget_get_visible(GTK_WIDGET(gtk_builder_get_object(xml.get(), "dialog_up"))));
  }
  {
    DialogDriver driver;  // once answered, the dialog is gone for the run
    try_show_help();
    EXPECT_TRUE(driver.seen.empty());
  }
}

// The announcement is the service's markup, links included: bold shows bold and each link as a
// link; its web links open in the browser, links of any other kind do nothing.
TEST_F(AppTest, AnnouncementShowsItsLinksAndOpensOnlyWebLinks) {
  int argc = 0;
  char** argv = nullptr;
  ASSERT_EQ(application_init(&argc, &argv), 1);
  service_.announce(
      "Welcome to <b>Tovimo</b>. <a href=\"ftp://example.org/x\">Files</a> "
      "<a href=\"http://example.org/news\" title=\"News\">Read more</a>");
  test_home.forget_calls();
  DialogDriver driver;
  Strings focused;
  driver.then([&focused](GtkWidget* dialog) {
    // The cursor put into each link's text in turn, which is then activated as Enter does.
    GtkWidget* label = GTK_WIDGET(gtk_builder_get_object(xml.get(), "label_info"));
    for (const char* words : {"Files", "Read more"}) {
      const gchar* shown = gtk_label_get_text(GTK_LABEL(label));  // anew after each activation
      const gchar* at = strstr(shown, words);
      const gint offset = at ? static_cast<gint>(g_utf8_pointer_to_offset(shown, at)) + 1 : 0;
      gtk_label_get_layout(GTK_LABEL(label));  // laid out anew, as after a redraw
      gtk_label_select_region(GTK_LABEL(label), offset, offset);
      const gchar* uri = gtk_label_get_current_uri(GTK_LABEL(label));
      focused.push_back(uri ? uri : "(no link)");
      g_signal_emit_by_name(label, "activate-current-link");
    }
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
    return true;
  });
  try_show_help();
  ASSERT_EQ(driver.seen.size(), 1u);
  EXPECT_EQ(driver.seen[0].text, "Welcome to Tovimo. Files Read more");
  EXPECT_TRUE(driver.seen[0].use_markup);
  EXPECT_EQ(focused, (Strings{"ftp://example.org/x", "http://example.org/news"}));
  ASSERT_TRUE(wait_until([] { return !test_home.browser_urls().empty(); }));
  // Both would have been launched at once; the web page's arrival means the other had its turn.
  wait_until([] { return test_home.browser_urls().size() > 1; }, 1000);
  EXPECT_EQ(test_home.browser_urls(), Strings{"http://example.org/news"});
}

TEST_F(AppTest, AnnouncementThatIsNotMarkupIsShownAsItStands) {
  int argc = 0;
  char** argv = nullptr;
  ASSERT_EQ(application_init(&argc, &argv), 1);
  const std::vector<std::pair<std::string, std::string>> cases = {{"SKIP\r\n", "SKIP\n"},
                                                                  {"1 < 2 & <b>x", "1 < 2 & <b>x"}};
  for (const auto& [text, shown] : cases) {
    service_.announce(text);
    DialogDriver driver;
    driver.then(press("OK"));
    try_show_help();
    ASSERT_EQ(driver.seen.size(), 1u);
    EXPECT_EQ(driver.seen[0].text, shown);
    // Reload: each announcement dialog is destroyed once answered.
    ASSERT_EQ(application_init(&argc, &argv), 1);
  }
}

TEST_F(AppTest, AnnouncementNeedsTheServiceAndTheInterface) {
  int argc = 0;
  char** argv = nullptr;
  ASSERT_EQ(application_init(&argc, &argv), 1);
  service_.announce("hello");
  gs_service_base = "http://127.0.0.1:1/tovimo/";  // nothing listens there
  DialogDriver driver;
  try_show_help();
  EXPECT_TRUE(driver.seen.empty());

  gs_service_base = service_.server().base();
  ASSERT_EQ(g_rename("ui.glade", "ui.glade.away"), 0);
  ASSERT_EQ(application_init(&argc, &argv), 1);  // dialogs then simply have no parent
  g_rename("ui.glade.away", "ui.glade");
  EXPECT_EQ(main_window, nullptr);
  try_show_help();
  EXPECT_TRUE(driver.seen.empty());

  // Descriptions that are not valid after a visible window (one broken off, one naming a class
  // the toolkit lacks): said on stderr, and nothing of them stays.
  const std::string window =
      "<interface><object class=\"GtkWindow\" id=\"main_window\">"
      "<property name=\"visible\">True</property></object>";
  for (const std::string& invalid :
       {window + "<object class=\"GtkDialog\" id=\"dialog_up\">",
        window + "<object class=\"NoSuchWidget\" id=\"dialog_up\"/></interface>"}) {
    SCOPED_TRACE(invalid);
    ASSERT_EQ(g_rename("ui.glade", "ui.glade.away"), 0);
    ASSERT_TRUE(g_file_set_contents("ui.glade", invalid.c_str(), -1, nullptr));
    testing::internal::CaptureStderr();
    const int started = application_init(&argc, &argv);
    const std::string said = testing::internal::GetCapturedStderr();
    g_rename("ui.glade.away", "ui.glade");
    EXPECT_EQ(started, 1);
    EXPECT_EQ(said.rfind("ui.glade: ", 0), 0u) << said;
    EXPECT_FALSE(xml);
    EXPECT_EQ(main_window, nullptr);
    std::unique_ptr<GList, decltype(&g_list_free)> windows(gtk_window_list_toplevels(),
                                                           &g_list_free);
    for (GList* l = windows.get(); l; l = l->next) {
      EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(l->data)));
    }
    try_show_help();
    EXPECT_TRUE(driver.seen.empty());
  }
}

TEST_F(AppTest, LaunchRefusesIncompleteTasksInOrder) {
  FfmpegTask task;
  DialogDriver driver;
  driver.then(press("OK")).then(press("OK")).then(press("OK"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(ffmpeg_execute_task(nullptr));
  EXPECT_FALSE(ffmpeg_execute_task(&task));
  task.source = "/a.flv";
  EXPECT_FALSE(ffmpeg_execute_task(&task));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // nothing printed
  Strings texts;
  for (const SeenDialog& d : driver.seen) {
    EXPECT_EQ(d.title, "ffmpeg failure");
    texts.push_back(d.text);
  }
  EXPECT_EQ(texts, (Strings{"task is NULL", "source is NULL", "destination is NULL"}));
  EXPECT_TRUE(test_home.converter_calls().empty());
}

}  // namespace
