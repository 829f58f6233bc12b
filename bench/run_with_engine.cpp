// atanpi-bench-run: the program's whole run (same dialogue, console text and
// result file) with an engine and thread count chosen on the command line,
// so that engines can be compared on the program's own requests.
//
//   atanpi-bench-run [--engine=NAME] [--threads=N]
//   atanpi-bench-run --list-engines
//
// --list-engines prints each engine built into the program, one a line: its
// name, then "available" or "not available" on this processor.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/run.hpp"
#include "platform/platform.hpp"

namespace {

constexpr const char* USAGE = "usage: atanpi-bench-run [--engine=NAME] [--threads=N] | --list-engines\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace atanorg;
  // As in atanpi: a closed standard output must not become the result file.
  if (!open_closed_standard_descriptors()) return 2;
  SeriesSettings settings = program_engine();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--list-engines") {
      for (SeriesEngine e : compiled_engines()) {
        std::printf("%s %s\n", engine_name(e), engine_available(e) ? "available" : "not available");
      }
      return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 2;
    }
    if (arg.rfind("--engine=", 0) == 0) {
      const std::string name = arg.substr(9);
      const auto engine = engine_named(name);
      if (!engine || !engine_available(*engine)) {
        std::fprintf(stderr, "atanpi-bench-run: engine %s is %s (see --list-engines)\n", name.c_str(),
                     engine ? "not available on this processor" : "not built into this program");
        return 2;
      }
      settings.engine = *engine;
    } else if (arg.rfind("--threads=", 0) == 0) {
      settings.threads = std::atoi(arg.c_str() + 10);
    } else {
      std::fputs(USAGE, stderr);
      return 2;
    }
  }
  return run_program(settings);
}
