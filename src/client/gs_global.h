#pragma once

// Initialises the HTTP library once with all its features. The arguments are main's, unused.
void gs_init(int* argc, char*** argv);
