// Start-up checks, the login and the quit request.
#pragma once

#include <string>

#include "base/state.h"

// 1 when everything the program needs is present and initialised, else 0 after an error dialog.
int application_init(int* argc, char*** argv);
// 1 when the service accepted this client; refusals are shown (all but the silent one).
int app_try_login();
// Hides the tray icon and asks the main loop to end once the running handler returns.
void application_quit();

// What start-up and the quit request need from the parts above this one; main registers them.
struct AppHooks {
  int (*converter_check)() = nullptr;  // 1 when the converter's runtime files are present
  void (*hide_tray)() = nullptr;       // hides the tray icon
  void (*end_instance)() = nullptr;    // later starts no longer hand over to this one
};
void app_set_hooks(const AppHooks& hooks);

// Opens one of the service's pages in the browser; says so when no browser could be asked.
void app_open_page(const std::string& url);
