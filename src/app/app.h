// Start-up checks, the login, the quit request, and the program's shared state.
#pragma once

#include <glade/glade.h>
#include <gtk/gtk.h>

#include <optional>
#include <string>

#include "base/holders.h"

extern GObj<GladeXML> xml;      // "ui.glade", kept for the whole run
extern GtkWidget* main_window;  // parent of every message dialog; never shown; may be null
extern int automode;            // 1 after "AUTOOK": a failed poll then ends the program
extern int newbie;              // 1 after "NEWBIE": the tutorial is offered
extern std::optional<std::string>
    flv_movie;  // the selected source file; only the workflow writes it

// 1 when everything the program needs is present and initialised, else 0 after an error dialog.
int application_init(int* argc, char*** argv);
// 1 when the service accepted this client; refusals are shown (all but the silent one).
int app_try_login();
// Hides the tray icon and asks the main loop to end once the running handler returns.
void application_quit();

// Opens one of the service's pages in the browser; says so when no browser could be asked.
void app_open_page(const std::string& url);
