// The run sequence. Console text and file content are fixed texts; standard
// output is flushed after each prompt and time line so that a person watching
// a long run sees each term as it completes. An error writing standard output
// does not stop the run (the result file is what it is for); it is reported
// when the run ends.
#include "driver/run.hpp"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "driver/dialogue.hpp"
#include "driver/formula_table.hpp"
#include "driver/progress_line.hpp"
#include "engine/fixed_point.hpp"
#include "engine/normalize.hpp"
#include "engine/series.hpp"
#include "platform/platform.hpp"
#include "report/result_writer.hpp"

namespace atanorg {
namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point program_start = Clock::now();

// Milliseconds since program start, as a 64-bit count: a 32-bit one
// wraps after 24.8 days (a run stopped with Ctrl-Z and resumed weeks later).
std::int64_t clock_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - program_start).count();
}

double seconds_since(std::int64_t start_ms) { return result_seconds(clock_ms() - start_ms); }

// The first error writing standard output, for close_standard_output.
int stdout_error = 0;

// The run's two word arrays, in static storage at full capacity for the
// whole process: the accumulator the terms are summed into, and the power
// term each series works in.
alignas(64) std::int32_t acc[ARRAY_CAPACITY];
alignas(64) std::int32_t term[ARRAY_CAPACITY];

void flush_stdout() {
  if (std::fflush(stdout) != 0 && stdout_error == 0) stdout_error = errno;
}

__attribute__((format(printf, 1, 2))) void say(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  flush_stdout();
}

int fail(const std::string& message, int status) {
  flush_stdout();
  std::fprintf(stderr, "atanpi: %s\n", message.c_str());
  return status;
}

// The next typed integer; without one, `problem` says why: no integer there,
// or the reason standard input could not be read (a directory, say).
std::optional<std::int32_t> read_typed(const char* what, std::string& problem) {
  errno = 0;
  const std::optional<std::int32_t> value = read_int(stdin);
  if (std::ferror(stdin)) {
    problem = "cannot read standard input: " + error_text(errno != 0 ? errno : EIO);
    return std::nullopt;
  }
  if (!value) problem = std::string("expected ") + what + " (an integer) on standard input";
  return value;
}

std::string result_file_name(std::int32_t id) { return "AtanOrg" + std::to_string(id) + ".txt"; }

int run_dialogue(const SeriesSettings& engine) {
  say(" Type In ID, (ID=1,2,3,4,5) \n");
  say(" 1;Machin, 2;Gauss, 3;Klingen., 4;Stoemer, 5;Takano \n");
  std::string problem;
  const std::optional<std::int32_t> typed_id = read_typed("the formula id", problem);
  if (!typed_id) return fail(problem, EXIT_BAD_INPUT);
  std::int32_t id = *typed_id;
  if (id <= 0 || id >= 6) id = 1;

  say(" Type In N (N=Number of Pi Decimal-Digits) \n");
  const std::optional<std::int32_t> typed_digits = read_typed("the number of digits", problem);
  if (!typed_digits) return fail(problem, EXIT_BAD_INPUT);
  std::int32_t fraction_words = *typed_digits / 5;
  if (fraction_words >= MAX_FRACTION_WORDS) fraction_words = MAX_FRACTION_WORDS;
  const std::int32_t digits = fraction_words * 5;
  const std::int32_t word_count = fraction_words + 3;

  const std::string file_name = result_file_name(id);
  install_result_file_cleanup(ProgressLine::abandon);
  for (std::int32_t k = 1; k <= FORMULA_COUNT; ++k) remove_stale_temp_files(result_file_name(k), RESULT_TITLE_LINE);
  // The file's space is reserved for the longest time line (RESERVED_SECONDS)
  // and cut to what was written at the end; under a file size limit without
  // room for that, for the file of a run under 10 s.
  std::string error;
  std::FILE* file = open_result_file(file_name, result_file_size(digits, id, RESERVED_SECONDS),
                                     result_file_size(digits, id, 0.0), RESULT_TITLE_LINE, error);
  if (file == nullptr) return fail(error, EXIT_WRITE_FAILED);

  say(" ** Pi Computation Start ** \n");
  say("  Number of Pi Decimal-Digits= %d \n", digits);
  write_result_header(file, digits, id);
  // A write error shows here, before a long computation rather than after it.
  if (std::fflush(file) != 0) {
    commit_result_file(error);
    return fail(error, EXIT_WRITE_FAILED);
  }

  const std::int64_t computation_start = clock_ms();
  for (std::int32_t i = 1; i <= word_count; ++i) acc[i - 1] = 0;

  ProgressLine progress_line(2, engine.progress != nullptr);
  const FormulaTerm* row = formula_terms[id - 1];
  for (std::int32_t k = 0; k < formula_term_count[id - 1]; ++k) {
    progress_line.begin("Atan(1/ " + std::to_string(row[k].x) + " )", engine.progress);
    const std::int64_t term_start = clock_ms();
    const SeriesStatus status =
        atan_accumulate(engine, acc, term, word_count, row[k].coef, static_cast<double>(row[k].x));
    const double seconds = seconds_since(term_start);
    progress_line.end();
    if (status != SeriesStatus::ok) {
      discard_result_file();
      return fail("cannot compute Atan(1/ " + std::to_string(row[k].x) + " ): " + series_status_text(status),
                  EXIT_COMPUTATION_FAILED);
    }
    say(" Atan(1/ %d ) Computation,  Time(s)= %f \n", static_cast<int>(row[k].x), seconds);
  }
  normalize_acc(acc, word_count);

  const double total_seconds = seconds_since(computation_start);
  say(" Pi Computation,  Time(s)= %f \n", total_seconds);
  write_result_time(file, total_seconds);
  write_result_digits(file, acc, word_count);
  if (!commit_result_file(error)) return fail(error, EXIT_WRITE_FAILED);
  return 0;
}

}  // namespace

SeriesSettings program_engine() {
  static SeriesProgress progress;
  SeriesSettings settings;
  settings.engine = best_engine();
  settings.progress = &progress;
  return settings;
}

int run_program(const SeriesSettings& engine) {
  // A reader of standard output that goes away (`| head`, a closed `less`)
  // is an output error: the run goes on and keeps its result file.
  ignore_broken_pipe_signal();
  int status = 0;
  try {
    status = run_dialogue(engine);
  } catch (const std::bad_alloc&) {
    // The run's own storage is static; what it allocates is small (texts,
    // the engine's scratch words), so this is rare: the file goes.
    discard_result_file();
    status = fail("out of memory", EXIT_COMPUTATION_FAILED);
  }
  return close_standard_output(status);
}

int close_standard_output(int status) {
  int err = stdout_error;
  if (std::fflush(stdout) != 0 && err == 0) err = errno;
  if (std::ferror(stdout) && err == 0) err = EIO;
  if (std::fclose(stdout) != 0 && err == 0) err = errno;
  if (err == 0) return status;
  std::fprintf(stderr, "atanpi: cannot write standard output: %s\n", error_text(err).c_str());
  return status == 0 ? EXIT_WRITE_FAILED : status;
}

}  // namespace atanorg
