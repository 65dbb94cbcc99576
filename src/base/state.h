// The program's shared state: the globals every part reads, kept in one place with one reset.
// Toolkit handles are declared by name only, so that the toolkit-free core can hold them too.
#pragma once

#include <optional>
#include <string>

#include "base/holders.h"

typedef struct _GtkBuilder GtkBuilder;
typedef struct _GtkWidget GtkWidget;
typedef struct _GtkStatusIcon GtkStatusIcon;

// Start-up and login.
extern GObj<GtkBuilder> xml;    // "ui.glade", kept for the whole run; null when unreadable
extern GtkWidget* main_window;  // parent of every message dialog; never shown; may be null
extern int automode;            // 1 after "AUTOOK": a failed poll then ends the program
extern int newbie;              // 1 after "NEWBIE": the tutorial is offered

// The client key.
extern std::optional<std::string> macaddr;  // adapter address, "00-1A-2B-3C-4D-5E"
extern std::optional<std::string> hash;     // client key: 32 lowercase hexadecimal digits
extern int in_progress;                     // set to 0 by api_init; nothing else writes it

// The workflow.
extern std::optional<std::string> flv_movie;  // the selected source file; only the workflow
                                              // writes it
extern int workflow_depth;   // workflow steps holding a dialog or chooser open right now
extern bool exit_confirmed;  // the user confirmed Exit: nothing new starts from then on

// The tray.
extern GObj<GtkStatusIcon> trayIcon;  // the single icon, from tray_init to the end of the run
extern GtkWidget* menu;               // the menu most recently popped up, until it is released

// Puts every per-run value back as it is at start-up: no key, no selection, no modes, nothing
// busy. The interface description, the icon and the main window, made once per process, stay.
void state_reset();
