// atanpi-bench-run: the program's whole run (same dialogue, console text and
// result file) with an engine and thread count chosen on the command line,
// so that engines can be compared on the program's own requests.
//
//   atanpi-bench-run [--engine=NAME] [--threads=N]
//   atanpi-bench-run --list-engines
//
// --list-engines prints each engine built into the program, one a line: its
// name, then "available" or "not available" on this processor. N is a
// whole number from 1 to 64 (the engine's most threads). Anything else on
// the command line is refused with a message and status 2.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "driver/run.hpp"
#include "engine/series_config.hpp"
#include "platform/platform.hpp"

namespace {

using namespace atanorg;

constexpr const char* USAGE = "usage: atanpi-bench-run [--engine=NAME] [--threads=N] | --list-engines\n";

int refuse(const std::string& message) {
  std::fprintf(stderr, "atanpi-bench-run: %s\n%s", message.c_str(), USAGE);
  return EXIT_BAD_INPUT;
}

// N of --threads=N: digits only, 1 to config::MAX_THREADS.
std::optional<int> thread_count(std::string_view text) {
  if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  const int n = std::stoi(std::string(text));
  return n >= 1 && n <= config::MAX_THREADS ? std::optional<int>(n) : std::nullopt;
}

int run_command_line(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--list-engines") {
    for (SeriesEngine e : compiled_engines()) {
      std::printf("%s %s\n", engine_name(e), engine_available(e) ? "available" : "not available");
    }
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : EXIT_BAD_INPUT;
  }
  SeriesSettings settings = program_engine();
  bool engine_given = false, threads_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--engine=", 0) == 0 && !engine_given) {
      const std::string name = arg.substr(9);
      const auto engine = engine_named(name);
      if (!engine || !engine_available(*engine)) {
        return refuse("engine " + name + " is " +
                      (engine ? "not available on this processor" : "not built into this program") +
                      " (see --list-engines)");
      }
      settings.engine = *engine;
      engine_given = true;
    } else if (arg.rfind("--threads=", 0) == 0 && !threads_given) {
      const std::optional<int> threads = thread_count(std::string_view(arg).substr(10));
      if (!threads) {
        return refuse("'" + arg + "': the thread count is a whole number from 1 to " +
                      std::to_string(config::MAX_THREADS));
      }
      settings.threads = *threads;
      threads_given = true;
    } else {
      return refuse("'" + arg + "' is " +
                    (arg == "--list-engines" ? "an option that stands alone"
                     : engine_given && arg.rfind("--engine=", 0) == 0   ? "a second engine"
                     : threads_given && arg.rfind("--threads=", 0) == 0 ? "a second thread count"
                                                                        : "not an option of this program"));
    }
  }
  return run_program(settings);
}

}  // namespace

int main(int argc, char** argv) {
  // As in atanpi: a closed standard output must not become the result file.
  if (!open_closed_standard_descriptors()) return EXIT_BAD_INPUT;
  try {
    return run_command_line(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("atanpi-bench-run: out of memory\n", stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "atanpi-bench-run: %s\n", e.what());
  }
  return EXIT_COMPUTATION_FAILED;
}
