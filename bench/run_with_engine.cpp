// atanpi-bench-run: the program's whole run (same dialogue, console text and
// result file) with an engine and thread count chosen on the command line,
// so that engines can be compared on the program's own requests.
//
//   atanpi-bench-run [--engine=reference|portable|avx2] [--threads=N]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/run.hpp"

int main(int argc, char** argv) {
  using namespace atanpi;
  SeriesSettings settings = program_engine();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--engine=", 0) == 0) {
      const std::string name = arg.substr(9);
      bool known = false;
      for (SeriesEngine e : {SeriesEngine::reference, SeriesEngine::portable, SeriesEngine::avx2}) {
        if (name == engine_name(e)) {
          settings.engine = e;
          known = true;
        }
      }
      if (!known || !engine_available(settings.engine)) {
        std::fprintf(stderr, "atanpi-bench-run: engine %s is not available here\n", name.c_str());
        return 2;
      }
    } else if (arg.rfind("--threads=", 0) == 0) {
      settings.threads = std::atoi(arg.c_str() + 10);
    } else {
      std::fprintf(stderr, "usage: atanpi-bench-run [--engine=reference|portable|avx2] [--threads=N]\n");
      return 2;
    }
  }
  return run_program(settings);
}
