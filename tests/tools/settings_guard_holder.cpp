// Holds the guard of one setting the way a second process changing it would:
//   settings_guard_holder NAME HOLD_MS FILE LINE
// takes NAME's guard, writes "ready\n" to standard output, waits HOLD_MS milliseconds, appends
// LINE to FILE and only then gives the guard back. A reader that starts after "ready" must see
// LINE. Exits 0 on success, 2 on bad arguments, 1 when the guard or the file fails.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "service/qorutil.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s NAME HOLD_MS FILE LINE\n", argv[0]);
    return 2;
  }
  int guard = qor_setting_guard_take(argv[1]);
  if (guard < 0) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(argv[2])));
  FILE* file = std::fopen(argv[3], "a");
  if (file == nullptr) return 1;
  std::fprintf(file, "%s\n", argv[4]);
  if (std::fclose(file) != 0) return 1;
  qor_setting_guard_release(guard);
  return 0;
}
