// The tray icon and its menu, as the user reaches everything after start-up.
#include <gtest/gtest.h>

#include "app/app.h"
#include "client/client_api.h"
#include "convert/glue.h"
#include "gui/gui_support.h"
#include "support/loopback_server.h"
#include "tray/tray.h"

namespace {

class TrayTest : public ProgramTest {
 protected:
  // Pops the menu up as a right click does; returns it.
  GtkWidget* popup() {
    g_signal_emit_by_name(trayIcon.get(), "popup-menu", 3u, guint(GDK_CURRENT_TIME));
    return menu;
  }

  GtkWidget* item(GtkWidget* shown, const std::string& label) {
    GList* items = gtk_container_get_children(GTK_CONTAINER(shown));
    GtkWidget* found = nullptr;
    for (GList* l = items; l; l = l->next) {
      GtkWidget* child = gtk_bin_get_child(GTK_BIN(l->data));
      if (child && GTK_IS_LABEL(child) && label == gtk_label_get_text(GTK_LABEL(child))) {
        found = GTK_WIDGET(l->data);
      }
    }
    g_list_free(items);
    return found;
  }

  // Chooses a menu item as the user does: the menu closes, the item's handler runs, then the
  // menu reports its selection done. Returns whether the main loop was asked to end.
  bool choose(const std::string& label) {
    GtkWidget* shown = popup();
    GtkWidget* chosen = item(shown, label);
    EXPECT_NE(chosen, nullptr) << label;
    if (!chosen) return false;
    return run_as_handler(
        [&] { gtk_menu_shell_activate_item(GTK_MENU_SHELL(shown), chosen, TRUE); });
  }
};

TEST_F(TrayTest, IconComesFromTheThemeAndIsMadeOnce) {
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  EXPECT_STREQ(gtk_status_icon_get_icon_name(trayIcon.get()), "system-run");
  G_GNUC_END_IGNORE_DEPRECATIONS
  EXPECT_TRUE(gtk_icon_theme_has_icon(gtk_icon_theme_get_default(), "system-run"));
  EXPECT_TRUE(tray_icon_shown());
  GtkStatusIcon* before = trayIcon.get();
  EXPECT_EQ(tray_init(), 0);
  EXPECT_EQ(trayIcon.get(), before);
}

TEST_F(TrayTest, MenuOffersCheckTaskOnlyWhileAFileIsSelected) {
  GtkWidget* first = popup();
  EXPECT_EQ(menu_labels(first), kMenuWithoutFile);
  gtk_menu_shell_cancel(GTK_MENU_SHELL(first));

  flv_movie = "/videos/clip.flv";
  GtkWidget* second = popup();
  EXPECT_EQ(menu_labels(second), kMenuWithFile);
  gtk_menu_shell_cancel(GTK_MENU_SHELL(second));

  flv_movie.reset();
  EXPECT_EQ(menu_labels(popup()), kMenuWithoutFile);
  gtk_menu_shell_cancel(GTK_MENU_SHELL(menu));
}

TEST_F(TrayTest, EachMenuIsReleasedWhenItsSelectionIsDone) {
  GtkWidget* shown = popup();
  ASSERT_TRUE(GTK_IS_MENU(shown));
  EXPECT_FALSE(g_object_is_floating(shown));
  EXPECT_TRUE(gtk_widget_get_visible(shown));
  gpointer watch = shown;
  g_object_add_weak_pointer(G_OBJECT(shown), &watch);
  gtk_menu_shell_cancel(GTK_MENU_SHELL(shown));  // dismissed without choosing
  EXPECT_EQ(watch, nullptr);                     // destroyed and released
  EXPECT_EQ(menu, nullptr);
  GtkWidget* next = popup();
  EXPECT_TRUE(GTK_IS_MENU(next));
  gtk_menu_shell_cancel(GTK_MENU_SHELL(next));
  EXPECT_TRUE(service_.server().requests().empty());  // dismissing starts nothing
}

TEST_F(TrayTest, LeftClickAsksBeforeSelectingAFile) {
  {
    DialogDriver driver;
    driver.then(press("No"));
    EXPECT_FALSE(run_as_handler([] { g_signal_emit_by_name(trayIcon.get(), "activate"); }));
    ASSERT_EQ(driver.seen.size(), 1u);
    EXPECT_EQ(driver.seen[0].title, "Confirm");
    EXPECT_EQ(driver.seen[0].text, "Do you want to select file to convert?");
  }
  {
    DialogDriver driver;
    driver.then(press("Yes")).then(press("Cancel"));
    run_as_handler([] { g_signal_emit_by_name(trayIcon.get(), "activate"); });
    EXPECT_EQ(driver.titles(), (std::vector<std::string>{"Confirm", "Open File"}));
  }
}

TEST_F(TrayTest, SelectFileItemOpensTheChooserWithoutAQuestion) {
  DialogDriver driver;
  driver.then(press("Cancel"));
  choose("Select file to convert");
  EXPECT_EQ(driver.titles(), std::vector<std::string>{"Open File"});
}

TEST_F(TrayTest, CheckTaskPollsForTheSelectedFile) {
  service_.reply("poll", {"nothing to say"});
  flv_movie = "/videos/clip.flv";
  choose("Check task");
  EXPECT_EQ(service_.server().commands(), std::vector<std::string>{"poll"});
  EXPECT_EQ(flv_movie, "/videos/clip.flv");
}

TEST_F(TrayTest, GetKeyShowsTheKeySelectableAndReturnsAtOnce) {
  choose("Get key");
  EXPECT_EQ(visible_windows("Key information").size(), 1u);  // still up after the handler
  DialogDriver driver;
  driver.then(press("OK"));
  ASSERT_TRUE(driver.drain());
  ASSERT_EQ(driver.seen.size(), 1u);
  EXPECT_EQ(driver.seen[0].text, "Your key is : " + kKey);
  EXPECT_TRUE(driver.seen[0].selectable);
  EXPECT_EQ(driver.seen[0].icon, "dialog-information");
}

TEST_F(TrayTest, WebsiteAndTutorialOpenInTheBrowser) {
  // Each browser start runs on its own: wait for one before asking for the next.
  choose("Go to website");
  ASSERT_TRUE(wait_until([] { return test_home.browser_urls().size() == 1; }));
  choose("Tutorial");
  ASSERT_TRUE(wait_until([] { return test_home.browser_urls().size() == 2; }));
  EXPECT_EQ(test_home.browser_urls(),
            (std::vector<std::string>{service_.server().base() + "index.php",
                                      service_.server().base() + "tutorial.php"}));
}

TEST_F(TrayTest, ExitAsksAndEndsOnlyOnYes) {
  {
    // A StatusNotifierItem's menu is not held back by the question's grab: while the question
    // is open the tray starts nothing, and a second Exit asks nothing.
    DialogDriver driver;
    driver.then([this](GtkWidget* question) {
      for (const char* label : {"Select file to convert", "Exit"}) {
        GtkWidget* shown = popup();
        gtk_menu_shell_activate_item(GTK_MENU_SHELL(shown), item(shown, label), TRUE);
      }
      g_signal_emit_by_name(trayIcon.get(), "activate");
      return press("No")(question);
    });
    EXPECT_FALSE(choose("Exit"));
    EXPECT_TRUE(tray_icon_shown());
    EXPECT_TRUE(driver.unexpected.empty()) << driver.unexpected.front();
    ASSERT_EQ(driver.seen.size(), 1u);
    EXPECT_EQ(driver.seen[0].title, "confirm");
    EXPECT_EQ(driver.seen[0].text, "Are you sure?");
    EXPECT_EQ(driver.seen[0].icon, "file");
  }
  {
    DialogDriver driver;
    driver.then(close_window());
    EXPECT_FALSE(choose("Exit"));
    EXPECT_TRUE(tray_icon_shown());
  }
  {
    DialogDriver driver;
    driver.then(press("Yes"));
    EXPECT_TRUE(choose("Exit"));
    EXPECT_FALSE(tray_icon_shown());
  }
}

// While a workflow step waits for the user, the tray's ways into the workflow start nothing.
TEST_F(TrayTest, WorkflowIsNotEnteredTwice) {
  service_.reply("poll", {"OK"});
  flv_movie = "/videos/clip.flv";
  DialogDriver driver;
  bool reentered_quietly = false;
  driver.then([&](GtkWidget* chooser) {
    GtkWidget* shown = popup();
    gtk_menu_shell_activate_item(GTK_MENU_SHELL(shown), item(shown, "Check task"), TRUE);
    shown = popup();
    gtk_menu_shell_activate_item(GTK_MENU_SHELL(shown), item(shown, "Select file to convert"),
                                 TRUE);
    g_signal_emit_by_name(trayIcon.get(), "activate");
    reentered_quietly = service_.server().requests().empty();
    gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_CANCEL);
    return true;
  });
  choose("Select file to convert");
  EXPECT_TRUE(reentered_quietly);
  EXPECT_EQ(driver.titles(), std::vector<std::string>{"Open File"});
  // Once the chooser is gone, the tray works as before.
  EXPECT_EQ(menu_labels(popup()), kMenuWithoutFile);
  gtk_menu_shell_cancel(GTK_MENU_SHELL(menu));
}

// Exit confirmed (here from the menu, as a StatusNotifierItem's menu can be used while a dialog
// is open) while the order question waits: the answer that follows starts nothing.
TEST_F(TrayTest, ExitConfirmedDuringTheWorkflowStartsNothingMore) {
  service_.reply("poll", {"CONVERT AVI 0 0 0 0 0 0 0"});
  service_.reply("yes", {"OK"});
  flv_movie = "/videos/clip.flv";
  DialogDriver driver;
  driver
      .then([&](GtkWidget* question) {
        GtkWidget* shown = popup();
        gtk_menu_shell_activate_item(GTK_MENU_SHELL(shown), item(shown, "Exit"), TRUE);
        gtk_dialog_response(GTK_DIALOG(question), GTK_RESPONSE_YES);
        return true;
      })
      .then(press("Yes"));
  EXPECT_TRUE(run_as_handler(glue_check_task));
  EXPECT_EQ(driver.titles(), (std::vector<std::string>{"Confirmation", "confirm"}));
  EXPECT_EQ(service_.server().commands(), std::vector<std::string>{"poll"});
  EXPECT_TRUE(test_home.converter_calls().empty());
  EXPECT_FALSE(tray_icon_shown());
  // Nor does the tray start anything now.
  choose("Select file to convert");
  EXPECT_EQ(driver.titles().size(), 2u);
}

// Another program holds the pointer, so the menu cannot pop up: it is released at once rather
// than waiting for a "selection-done" that never comes.
TEST_F(TrayTest, MenuThatCannotBeShownIsReleasedAtOnce) {
  GdkDisplay* other = gdk_display_open(gdk_display_get_name(gdk_display_get_default()));
  ASSERT_NE(other, nullptr);
  GdkWindowAttr attributes{};
  attributes.window_type = GDK_WINDOW_TOPLEVEL;
  attributes.wclass = GDK_INPUT_OUTPUT;
  attributes.width = attributes.height = 10;
  GdkWindow* holder = gdk_window_new(
      gdk_screen_get_root_window(gdk_display_get_default_screen(other)), &attributes, 0);
  gdk_window_show(holder);
  gdk_display_sync(other);
  GdkSeat* seat = gdk_display_get_default_seat(other);
  ASSERT_EQ(gdk_seat_grab(seat, holder, GDK_SEAT_CAPABILITY_ALL_POINTING, FALSE, nullptr, nullptr,
                          nullptr, nullptr),
            GDK_GRAB_SUCCESS);
  gdk_display_sync(other);

  popup();
  EXPECT_EQ(menu, nullptr);

  gdk_seat_ungrab(seat);
  gdk_window_destroy(holder);
  gdk_display_close(other);
  EXPECT_EQ(menu_labels(popup()), kMenuWithoutFile);  // the next one shows as usual
  gtk_menu_shell_cancel(GTK_MENU_SHELL(menu));
}

}  // namespace
