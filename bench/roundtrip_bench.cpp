// One command round trip through the program's own code path: api_login and api_poll against
// the service at BASE (the program's gs_service_base), each timed call by call.
// Usage: roundtrip_bench COUNT BASE prints one line per command (see bench_report);
// roundtrip_bench key prints the client key that the program sends.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_timing.h"
#include "client/client_api.h"
#include "client/gs_global.h"

namespace {

using Command = int (*)(GsChunkPtr*);

int send_login(GsChunkPtr* reply) {
  return api_login(reply);
}
int send_poll(GsChunkPtr* reply) {
  return api_poll(hash ? hash->c_str() : "", reply);
}

bool run(const char* name, Command command, std::vector<double>& samples) {
  for (double& sample : samples) {
    const double start = bench_now_us();
    GsChunkPtr reply;
    const int ok = command(&reply);
    reply.reset();  // the program frees each reply too
    sample = bench_now_us() - start;
    if (!ok) {
      std::fprintf(stderr, "roundtrip_bench: %s got no reply\n", name);
      return false;
    }
  }
  bench_report(name, samples.data(), samples.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "key") == 0) {
    if (!api_init()) {
      std::fprintf(stderr, "roundtrip_bench: no network adapter to make the client key from\n");
      return 1;
    }
    std::printf("%s\n", hash->c_str());
    return 0;
  }
  if (argc != 3 || std::strtoul(argv[1], nullptr, 10) == 0) {
    std::fprintf(stderr, "usage: %s COUNT BASE\n", argv[0]);
    return 2;
  }
  std::vector<double> samples(std::strtoul(argv[1], nullptr, 10));
  gs_service_base = argv[2];
  int argc_unused = 0;
  char** argv_unused = nullptr;
  gs_init(&argc_unused, &argv_unused);
  if (!api_init()) {
    std::fprintf(stderr, "roundtrip_bench: no network adapter to make the client key from\n");
    return 1;
  }
  if (!run("login", send_login, samples) || !run("poll", send_poll, samples)) return 1;
  return 0;
}
