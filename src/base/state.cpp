#include "base/state.h"

GObj<GtkBuilder> xml;
GtkWidget* main_window = nullptr;
int automode = 0;
int newbie = 0;

std::optional<std::string> macaddr;
std::optional<std::string> hash;
int in_progress = 0;

std::optional<std::string> flv_movie;
int workflow_depth = 0;
bool exit_confirmed = false;

GObj<GtkStatusIcon> trayIcon;
GtkWidget* menu = nullptr;

void state_reset() {
  automode = 0;
  newbie = 0;
  macaddr.reset();
  hash.reset();
  in_progress = 0;
  flv_movie.reset();
  workflow_depth = 0;
  exit_confirmed = false;
}
