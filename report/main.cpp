// kvor-scan: the scan without windows, for benchmarks, checks and machines without a display.
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "report/report.h"

int main(int argc, char** argv) {
  // Where memory is too short for the runtime's own reserve for exceptions, the first
  // std::bad_alloc would end the program without a word: say it here instead.
  if (void* room = std::malloc(256 * 1024); room != nullptr) {
    std::free(room);
  } else {
    std::fputs("kvor-scan: out of memory\n", stderr);
    return 2;
  }
  std::setlocale(LC_ALL, "");
  static char buffer[1 << 16];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  return kvor::report::Run(argc, argv, kvor::platform::LocalSystem(), stdout, stderr);
}
