#include "client/gs_global.h"

#include <curl/curl.h>

void gs_init(int*, char***) {
  curl_global_init(CURL_GLOBAL_ALL);
}
