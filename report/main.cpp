// kvor-scan: the scan without windows, for benchmarks, checks and machines without a display.
#include <clocale>
#include <cstdio>

#include "report/report.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  static char buffer[1 << 16];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  return kvor::report::Run(argc, argv, kvor::platform::LocalSystem(), stdout, stderr);
}
