// The run sequence. Console text and file content are fixed texts; standard
// output is flushed after each prompt and time line so that a person watching
// a long run sees each term as it completes.
#include "driver/run.hpp"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "driver/dialogue.hpp"
#include "driver/formula_table.hpp"
#include "driver/progress_line.hpp"
#include "engine/fixed_point.hpp"
#include "engine/normalize.hpp"
#include "engine/series.hpp"
#include "report/result_file.hpp"
#include "report/result_writer.hpp"

namespace atanpi {
namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point program_start = Clock::now();

// Milliseconds since program start, as a signed 32-bit count.
std::int32_t clock_ms() {
  return static_cast<std::int32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - program_start).count());
}

double seconds_since(std::int32_t start_ms) {
  return static_cast<double>(clock_ms() - start_ms) / 1000.0;
}

void say(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

int fail(const std::string& message, int status) {
  std::fflush(stdout);
  std::fprintf(stderr, "atanpi: %s\n", message.c_str());
  return status;
}

}  // namespace

SeriesSettings program_engine() {
  SeriesSettings settings;
  settings.engine = best_engine();
  settings.progress = &program_progress();
  return settings;
}

int run_program(const SeriesSettings& engine) {
  char file_name[13] = "AtanOrg?.txt";
  const char id_digits[6] = "12345";
  set_numeric_parameters();

  say(" Type In ID, (ID=1,2,3,4,5) \n");
  say(" 1;Machin, 2;Gauss, 3;Klingen., 4;Stoemer, 5;Takano \n");
  const std::optional<std::int32_t> typed_id = read_int(stdin);
  if (!typed_id) return fail("expected the formula id (an integer) on standard input", EXIT_BAD_INPUT);
  std::int32_t id = *typed_id;
  if (id <= 0 || id >= 6) id = 1;

  say(" Type In N (N=Number of Pi Decimal-Digits) \n");
  const std::optional<std::int32_t> typed_digits = read_int(stdin);
  if (!typed_digits) {
    return fail("expected the number of digits (an integer) on standard input", EXIT_BAD_INPUT);
  }
  std::int32_t fraction_words = *typed_digits / 5;
  if (fraction_words >= MAX_FRACTION_WORDS) fraction_words = MAX_FRACTION_WORDS;
  const std::int32_t digits = fraction_words * 5;
  word_count = fraction_words + 3;

  file_name[7] = id_digits[id - 1];
  install_result_file_cleanup(ProgressLine::abandon);
  std::string error;
  std::FILE* file = open_result_file(file_name, error);
  if (file == nullptr) return fail(error, 1);

  say(" ** Pi Computation Start ** \n");
  std::printf("  Number of Pi Decimal-Digits= %d \n", digits);
  std::fflush(stdout);
  write_result_header(file, digits, id);
  // A full disk shows here, before a long computation rather than after it.
  if (std::fflush(file) != 0) {
    commit_result_file(error);
    return fail(error, 1);
  }

  const std::int32_t computation_start = clock_ms();
  for (std::int32_t i = 1; i <= word_count; ++i) acc[i - 1] = 0;

  ProgressLine progress_line(2, engine.progress != nullptr);
  const FormulaTerm* row = formula_terms[id - 1];
  for (std::int32_t k = 0; k < formula_term_count[id - 1]; ++k) {
    progress_line.begin("Atan(1/ " + std::to_string(row[k].x) + " )", engine.progress);
    const std::int32_t term_start = clock_ms();
    atan_coef = row[k].coef;
    atan_x = static_cast<double>(row[k].x);
    atan_accumulate_with(engine, acc, term, word_count, atan_coef, atan_x);
    const double seconds = seconds_since(term_start);
    progress_line.end();
    std::printf(" Atan(1/ %d ) Computation,  Time(s)= %f \n", static_cast<int>(atan_x), seconds);
    std::fflush(stdout);
  }
  normalize_acc();

  const double total_seconds = seconds_since(computation_start);
  std::printf(" Pi Computation,  Time(s)= %f \n", total_seconds);
  std::fflush(stdout);
  write_result_time(file, total_seconds);
  write_result_digits(file, acc, word_count);
  if (!commit_result_file(error)) return fail(error, 1);
  return 0;
}

}  // namespace atanpi
