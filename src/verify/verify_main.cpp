// atanpi-verify: checks result files of atanpi against pi computed
// independently. Every file is read and its layout checked first, so that pi
// is computed once, to the most places any of them needs.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "verify/result_check.hpp"
#include "verify/trusted_pi.hpp"

namespace {

constexpr int EXIT_ALL_CORRECT = 0;
constexpr int EXIT_SOME_WRONG = 1;
constexpr int EXIT_USAGE = 2;

constexpr const char* HELP = R"(Usage: atanpi-verify [--help] FILE...

Checks result files written by atanpi (AtanOrg1.txt ... AtanOrg5.txt):
  - the title line, the line with the digit count N and the formula id
    (1 to 5; N a multiple of 5, at most 5000035), the time line and the
    empty line after it;
  - " Pi = 3." and the digit rows: each row numbered with the place of its
    first digit (1, 81, 161, ...) in 8 columns, eight groups of ten digits
    per full row, no line end after the last row;
  - that the rows hold exactly the N places the header gives, or N + 5 when
    N/5 is odd: the last group then carries five guard places beyond N;
  - every one of the N places against pi computed independently with GMP
    (the Chudnovsky series), once for the largest N among the files.
The guard places are reported, but a difference there is not an error:
the program does not promise them.

Prints one line per file: the file, the formula id, N and either
"all N digits correct" or the first wrong place with the digit pi has there
and the one found; a file that is not laid out as atanpi writes it gets the
number of the first faulty line and what is wrong there.

Options:
  -h, --help   show this text and exit
  --           end of options (for file names beginning with '-')

Exit status:
  0  every file is well formed and all its N digits are correct
  1  some file cannot be read, is malformed or has a wrong digit
  2  bad usage: no file given or an unknown option
)";

int usage_error(const std::string& message) {
  std::fprintf(stderr, "atanpi-verify: %s\nUsage: atanpi-verify [--help] FILE...\n", message.c_str());
  return EXIT_USAGE;
}

struct FileResult {
  std::string name;
  std::string read_error;  // set when the file could not be read
  atanpi::ParsedResult parsed;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> names;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && (arg == "--help" || arg == "-h")) {
      std::fputs(HELP, stdout);
      return EXIT_ALL_CORRECT;
    } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
      return usage_error("unknown option '" + std::string(arg) + "'");
    } else {
      names.emplace_back(arg);
    }
  }
  if (names.empty()) return usage_error("no result file given");

  std::vector<FileResult> files(names.size());
  std::size_t most_places = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    files[i].name = names[i];
    std::string text;
    if (!atanpi::read_whole_file(names[i], text, files[i].read_error)) continue;
    files[i].parsed = atanpi::parse_result(text);
    if (files[i].parsed.ok && files[i].parsed.places.size() > most_places) {
      most_places = files[i].parsed.places.size();
    }
  }

  const std::string pi = atanpi::trusted_pi_places(static_cast<long>(most_places));
  int status = EXIT_ALL_CORRECT;
  for (const FileResult& file : files) {
    if (!file.read_error.empty()) {
      std::printf("%s: cannot read: %s\n", file.name.c_str(), file.read_error.c_str());
      status = EXIT_SOME_WRONG;
      continue;
    }
    atanpi::DigitCheck digits;
    if (file.parsed.ok) digits = atanpi::check_digits(file.parsed, pi);
    std::printf("%s\n", atanpi::describe(file.name, file.parsed, digits).c_str());
    if (!atanpi::passes(file.parsed, digits)) status = EXIT_SOME_WRONG;
  }
  if (std::fflush(stdout) != 0) return EXIT_SOME_WRONG;
  return status;
}
