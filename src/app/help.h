#pragma once

// Shows the service's announcement for this client, if it sends one, and waits for the user.
void try_show_help();
