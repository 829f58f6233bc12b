// atanpi-verify: checks result files of atanpi against pi computed
// independently. The headers of all files are read first, so that pi is
// computed once, to the most places any of them needs; then the files are
// read and checked one at a time, each only up to the largest size a result
// can have, so that memory stays at one file and pi however many are given.
// Every path is opened once: regular files when their headers are read
// (their descriptors kept for the second pass), pipes and devices only in
// the second pass, read once, pi computed again should one need more places.
// Pi is computed in a process of its own where the system has them, so
// that memory running out there (GMP then ends its process) costs the
// verdicts of the files that need that much, not all of them: without pi
// to the most places, each file gets pi to its own places in its turn.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/apart.hpp"
#include "platform/platform.hpp"
#include "verify/result_check.hpp"
#include "verify/trusted_pi.hpp"

namespace {

constexpr int EXIT_ALL_CORRECT = 0;
constexpr int EXIT_SOME_WRONG = 1;
constexpr int EXIT_TROUBLE = 2;

constexpr const char* HELP = R"(Usage: atanpi-verify [--help] FILE...

Checks result files written by atanpi (AtanOrg1.txt ... AtanOrg5.txt):
  - the title line, the line with the digit count N and the formula id
    (1 to 5; N a multiple of 5, at most 5000035), the time line and the
    empty line after it, the numbers as atanpi writes them (no leading
    zeros, no negative time); in a file named AtanOrgK.txt the id K (on
    Windows also named without regard to case, trailing dots or spaces);
  - " Pi = 3." and the digit rows: each row numbered with the place of its
    first digit (1, 81, 161, ...) in 8 columns, in order, eight groups of
    ten digits per full row, no line end after the last row; every line
    ending as the first does, in LF or in CR LF;
  - that the rows hold exactly the N places the header gives, or N + 5 when
    N/5 is odd: the last group then carries five guard places beyond N;
  - every one of the N places against pi computed independently with GMP
    (the Chudnovsky series), once for the largest N among the files.
The guard places are reported, but a difference there is not an error:
the program does not promise them.

Prints one line per file: the file, the formula id, N and either
"all N digits correct" or the first wrong place with the digit pi has there
and the one found; a file that is not laid out as atanpi writes it gets the
number of the first faulty line and what is wrong there, with the lines
quoted whole in double quotes and C escapes (\r, \t, \xNN) for characters
that do not print. A file is read only up to 6187715 bytes, the most a
result file can have; a larger file or a device is reported as too large.
Each file is opened once; a FIFO is read when its turn comes.
A name with control characters, '"' or '\' (but on Windows, where '\'
separates folders), or characters that show nothing or only space or turn
the text's direction (zero-width, bidi controls, Unicode spaces: \uXXXX)
is shown quoted and escaped.

Options:
  -h, --help   show this text and exit
  --           end of options (for file names beginning with '-')

Exit status:
  0  every file is well formed and all its N digits are correct
  1  some file cannot be read, is too large, is malformed or has a wrong digit
  2  trouble: bad usage (no file given, an unknown option) or standard
     output cannot be written (a message goes to standard error), or
     not enough memory for pi to check a file (its line says so)
)";

int usage_error(const std::string& message) {
  std::fprintf(stderr, "atanpi-verify: %s\nUsage: atanpi-verify [--help] FILE...\n", message.c_str());
  return EXIT_TROUBLE;
}

// The reason of the first failed write to standard output, 0 while none.
int output_errno = 0;

void note_output_error() {
  if (output_errno == 0) output_errno = errno != 0 ? errno : EIO;
}

void put_line(const std::string& line) {
  if (std::fputs(line.c_str(), stdout) < 0 || std::fputc('\n', stdout) == EOF) note_output_error();
}

// Ends with `status` once standard output is flushed and closed; a write
// that failed (a full disk, a pipe closed with SIGPIPE ignored) gets a
// message and EXIT_TROUBLE, since the verdicts did not all come out.
int finish_output(int status) {
  errno = 0;
  if (std::fflush(stdout) != 0) note_output_error();
  if (std::fclose(stdout) != 0) note_output_error();
  if (output_errno == 0) return status;
  std::fprintf(stderr, "atanpi-verify: cannot write standard output: %s\n", std::strerror(output_errno));
  return EXIT_TROUBLE;
}

// GMP found no memory while computing pi (on one of the computation's
// threads). Apart, that ends the computation's own process; here, where
// no process could be started for it, the verdicts given so far stand and
// the rest cannot be had.
void pi_memory_failure(std::size_t bytes) {
  if (atanorg::running_apart()) std::_Exit(atanorg::APART_OUT_OF_MEMORY);
  std::fflush(stdout);
  // No allocation here: there is no memory.
  char message[128];
  const int length = std::snprintf(message, sizeof message,
                                   "atanpi-verify: out of memory computing pi (%zu bytes more not to be had)\n", bytes);
  if (length > 0) atanorg::write_fully(2, message, std::min<std::size_t>(length, sizeof message - 1));
  std::_Exit(EXIT_TROUBLE);
}

std::string compute_pi(void* places) { return atanorg::trusted_pi_places(*static_cast<const long*>(places)); }

// Puts pi to `places` places in `pi`, computed apart; when it cannot be had,
// leaves `pi` as it was and says why in `problem`.
bool get_pi(long places, std::string& pi, std::string& problem) {
  std::string text, why;
  const std::string what = "pi to " + std::to_string(places) + " places";
  switch (atanorg::run_apart(compute_pi, &places, text, why)) {
    case atanorg::ApartEnd::done:
      pi = std::move(text);
      return true;
    case atanorg::ApartEnd::out_of_memory:
      problem = "not enough memory to compute " + what;
      return false;
    case atanorg::ApartEnd::failed:
      break;
  }
  problem = "computing " + what + " failed: " + why;
  return false;
}

struct Verdict {
  std::string line;
  int status = EXIT_SOME_WRONG;
};

// The verdict on one file, read up to the largest size a result can have,
// from `source` when the header pass opened it. `pi` grows when the file
// needs more places than the headers read in advance asked for: a pipe or a
// device, or a file changed since, or a file in its turn when pi to the
// most places did not fit in memory. A file whose pi does not fit either
// is not checked, and that is trouble.
Verdict check_file(const std::string& name, atanorg::OpenedFile source, std::string& pi) {
  const std::string shown = atanorg::display_name(name);
  if (source.fd < 0 && source.error.empty()) source = atanorg::open_result_source(name, false);
  if (!source.error.empty()) return {shown + ": cannot read: " + source.error};
  const atanorg::FileStart file = atanorg::read_file_start(source.fd, atanorg::MAX_RESULT_BYTES);
  if (!file.error.empty()) return {shown + ": cannot read: " + file.error};
  const std::string limit = std::to_string(atanorg::MAX_RESULT_BYTES);
  if (!file.complete) {
    if (file.size > static_cast<std::int64_t>(atanorg::MAX_RESULT_BYTES)) {
      return {shown + ": too large: " + std::to_string(file.size) + " bytes, more than the " + limit +
              " a result file can have"};
    }
    return {shown + ": too large: more than the " + limit + " bytes a result file can have"};
  }
  const atanorg::ParsedResult parsed = atanorg::parse_result(file.text, atanorg::formula_id_of_name(name));
  atanorg::DigitCheck digits;
  if (parsed.ok) {
    const auto places = static_cast<long>(parsed.places.size());
    std::string problem;
    if (places > static_cast<long>(pi.size()) && !get_pi(places, pi, problem)) {
      return {shown + ": formula " + std::to_string(parsed.formula_id) + ", N=" + std::to_string(parsed.digits) +
                  ": cannot check: " + problem,
              EXIT_TROUBLE};
    }
    digits = atanorg::check_digits(parsed, pi);
  }
  return {atanorg::describe(name, parsed, digits),
          atanorg::passes(parsed, digits) ? EXIT_ALL_CORRECT : EXIT_SOME_WRONG};
}

// The whole program but for the standard descriptors; returns the status.
int verify(int argc, char** argv) {
  std::vector<std::string> names;
  bool options_done = false;
  for (const std::string& given : atanorg::program_arguments(argc, argv)) {
    const std::string_view arg = given;
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && (arg == "--help" || arg == "-h")) {
      if (std::fputs(HELP, stdout) < 0) note_output_error();
      return finish_output(EXIT_ALL_CORRECT);
    } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
      return usage_error("unknown option '" + atanorg::display_name(arg) + "'");
    } else {
      names.emplace_back(arg);
    }
  }
  if (names.empty()) return usage_error("no result file given");

  // Only the first two lines of each regular file, for the places of pi
  // they need; a file already larger than a result can be needs none.
  long most_places = 0;
  std::vector<atanorg::OpenedFile> sources;
  for (const std::string& name : names) {
    sources.push_back(atanorg::open_result_source(name, true));
    if (sources.back().fd < 0) continue;
    const atanorg::FileStart head = atanorg::read_head(sources.back().fd, atanorg::HEAD_BYTES);
    if (head.size > static_cast<std::int64_t>(atanorg::MAX_RESULT_BYTES)) continue;
    most_places = std::max(most_places, atanorg::places_needed(head.text));
  }
  atanorg::on_pi_memory_failure(pi_memory_failure);
  std::string pi, problem;
  // When that fails, each file gets pi to its own places in its turn.
  if (most_places > 0) get_pi(most_places, pi, problem);

  int status = EXIT_ALL_CORRECT;
  for (std::size_t i = 0; i < names.size(); ++i) {
    Verdict verdict;
    try {
      verdict = check_file(names[i], sources[i], pi);
    } catch (const std::bad_alloc&) {
      verdict = {atanorg::display_name(names[i]) + ": cannot check: out of memory", EXIT_TROUBLE};
    }
    put_line(verdict.line);
    status = std::max(status, verdict.status);
    // Checking on is pointless once the verdicts cannot be written.
    if (output_errno != 0) break;
  }
  return finish_output(status);
}

}  // namespace

int main(int argc, char** argv) {
  // A closed standard output would otherwise be taken by the first file
  // opened, and the verdicts written into a file being checked.
  if (!atanorg::open_closed_standard_descriptors()) return EXIT_TROUBLE;
  try {
    return verify(argc, argv);
  } catch (const std::bad_alloc&) {
    // Memory for the names or the headers.
    std::fputs("atanpi-verify: out of memory\n", stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "atanpi-verify: %s\n", e.what());
  }
  return finish_output(EXIT_TROUBLE);
}
