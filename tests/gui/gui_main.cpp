// GUI tests run in-process on a display (Xvfb in the test run), in a hermetic home.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdio>

#include "app/app.h"
#include "client/gs_global.h"
#include "convert/ffmpeg_ctx.h"
#include "gui/gui_support.h"
#include "tray/tray.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  test_home = TestHome::create(TOVIMO_TEST_SUPPORT_DIR, TOVIMO_DATA_DIR);
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "no display: run the GUI tests under Xvfb\n");
    test_home.remove();
    return 1;
  }
  gs_init(&argc, &argv);
  AppHooks hooks;  // as main registers them
  hooks.converter_check = ffmpeg_check_ctx;
  hooks.hide_tray = tray_hide;
  app_set_hooks(hooks);
  const int result = RUN_ALL_TESTS();
  test_home.remove();
  return result;
}
