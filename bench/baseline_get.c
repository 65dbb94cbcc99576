/* The floor for one command round trip: one plain libcurl GET per call, with its own easy
 * handle, as the curl examples do it; over https it trusts the CA file SSL_CERT_FILE names, as
 * the program does. Usage: baseline_get COUNT NAME=URL...; prints one line per URL (see
 * bench_report). */
#include <curl/curl.h>
#include <stdlib.h>
#include <string.h>

#include "bench_timing.h"

/* The body is not kept: the floor measures the transfer, not what is done with it. */
static size_t discard(char* bytes, size_t size, size_t count, void* data) {
  (void)bytes;
  (void)data;
  return size * count;
}

static int get_once(const char* url, const char* ca_file) {
  CURL* h = curl_easy_init();
  if (!h) return 0;
  curl_easy_setopt(h, CURLOPT_URL, url);
  if (ca_file && *ca_file) curl_easy_setopt(h, CURLOPT_CAINFO, ca_file);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard);
  const CURLcode result = curl_easy_perform(h);
  curl_easy_cleanup(h);
  return result == CURLE_OK;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s COUNT NAME=URL...\n", argv[0]);
    return 2;
  }
  const size_t count = strtoul(argv[1], NULL, 10);
  if (count == 0) return 2;
  curl_global_init(CURL_GLOBAL_ALL);
  double* samples = malloc(count * sizeof *samples);
  if (!samples) return 1;
  for (int i = 2; i < argc; ++i) {
    char* url = strchr(argv[i], '=');
    if (!url) return 2;
    *url++ = '\0';
    for (size_t n = 0; n < count; ++n) {
      const double start = bench_now_us();
      if (!get_once(url, getenv("SSL_CERT_FILE"))) {
        fprintf(stderr, "%s: GET %s failed\n", argv[0], url);
        return 1;
      }
      samples[n] = bench_now_us() - start;
    }
    bench_report(argv[i], samples, count);
  }
  free(samples);
  curl_global_cleanup();
  return 0;
}
