// atanpi: the digits of pi by a Machin-like arctangent formula. The entry:
// closed standard descriptors opened on the null device first, then
// `--help`, `--version` or the run.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string_view>

#include "driver/formula_table.hpp"
#include "driver/run.hpp"
#include "platform/platform.hpp"

namespace {

using namespace atanorg;

void print_help() {
  std::fputs(
      "Usage: atanpi\n"
      "       atanpi --help | --version\n"
      "\n"
      "Computes the decimal digits of pi with a Machin-like arctangent formula.\n"
      "It asks on standard input for two integers: the formula ID (1 to 5; any\n"
      "other number selects 1) and the number of digits N (cut to a multiple of 5,\n"
      "at most 5000035), for example:\n"
      "  printf '1\\n1000\\n' | atanpi\n"
      "\n"
      "Formulas:\n",
      stdout);
  for (int id = 1; id <= FORMULA_COUNT; ++id) {
    std::printf("  %d %-15s pi =", id, formula_names[id - 1]);
    for (int k = 0; k < formula_term_count[id - 1]; ++k) {
      const FormulaTerm& t = formula_terms[id - 1][k];
      const char* sign = t.coef < 0 ? "-" : (k == 0 ? "" : "+");
      std::printf(" %s%s%d atan(1/%d)", sign, k == 0 ? "" : " ", std::abs(t.coef), t.x);
    }
    std::fputs("\n", stdout);
  }
  std::fputs(
      "\n"
      "The digits go to AtanOrgID.txt in the current directory, replaced only\n"
      "when the new file is complete. More in the manual: man atanpi\n",
      stdout);
}

int run_command_line(int argc, char** argv) {
  if (argc <= 1) return run_program();
  const std::string_view arg = argv[1];
  if (argc == 2 && arg == "--help") {
    print_help();
    return close_standard_output(0);
  }
  if (argc == 2 && arg == "--version") {
    std::puts("atanpi " ATANPI_VERSION);
    return close_standard_output(0);
  }
  std::fputs("usage: atanpi [--help | --version]\n", stderr);
  return EXIT_BAD_INPUT;
}

}  // namespace

int main(int argc, char** argv) {
  if (!open_closed_standard_descriptors()) return EXIT_BAD_INPUT;
  try {
    return run_command_line(argc, argv);
  } catch (const std::bad_alloc&) {
    // Before the run (the engine's tables): nothing has been written.
    std::fputs("atanpi: out of memory\n", stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "atanpi: %s\n", e.what());
  }
  return EXIT_COMPUTATION_FAILED;
}
