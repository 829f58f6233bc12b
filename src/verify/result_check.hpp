// Reading a result file back and checking it: the layout line by line, then
// every digit against pi from an independent source.
//
// The checker accepts exactly what atanpi writes: the two header lines, the
// time line and the empty line, " Pi = 3." and rows of up to eight groups of
// ten digits, each row numbered with the place of its first digit, and no
// line end after the last row. Line ends may be "\n" or "\r\n".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace atanpi {

// What the layout check found. When `ok` is false, `line` and `message`
// name the first fault; `formula_id` and `digits` are set once line 2 has
// been read (`header_read`).
struct ParsedResult {
  bool ok = false;
  bool header_read = false;
  std::int32_t formula_id = 0;
  std::int32_t digits = 0;  // N from the header
  // All places of the digit rows in order: N of them, or N + 5 when the
  // number of fraction words N / 5 is odd (the last five are guard places).
  std::string places;
  long line = 0;
  std::string message;
};

// Checks the layout of a whole result file held in memory.
ParsedResult parse_result(std::string_view text);

// How the places of a well-formed result compare with pi.
struct DigitCheck {
  long first_wrong = 0;  // 1-based place of the first wrong digit in 1..N; 0 if none
  char expected = 0;     // pi's digit there
  char found = 0;        // the file's digit there
  long wrong_count = 0;  // wrong digits among places 1..N
  // The guard places beyond N (empty when the file has none) and pi's.
  std::string guard_found;
  std::string guard_expected;
};

// Compares `result.places` with `pi_places`, pi's places after "3.", of
// which there must be at least result.places.size().
DigitCheck check_digits(const ParsedResult& result, std::string_view pi_places);

// The one-line verdict for a file: the name, the formula id, N, and either
// all digits correct or the first wrong place; or the layout fault and its
// line. `digits` is ignored for a malformed file.
std::string describe(std::string_view name, const ParsedResult& result, const DigitCheck& digits);

// True when the file checks out: well formed and every place 1..N right.
// Guard places do not count.
bool passes(const ParsedResult& result, const DigitCheck& digits);

// Reads a whole file. On failure returns false and sets `error` to the
// system's reason.
bool read_whole_file(const std::string& path, std::string& text, std::string& error);

}  // namespace atanpi
