// Result files for the writer's and the checker's tests, written by the
// program's own writers from pi's words, and damaged in known ways.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "report/result_writer.hpp"
#include "verify/trusted_pi.hpp"
#include "written_bytes.hpp"

namespace atanorg::test_support {

// A normalised accumulator of n words (at least one) from `pi`, pi's
// places after "3." (5 (n - 1) of them or more): 3, then five places a word,
// guard words included.
inline std::vector<std::int32_t> pi_words(std::int32_t n, const std::string& pi) {
  std::vector<std::int32_t> acc(n > 0 ? n : 1, 3);
  for (std::int32_t i = 1; i < n; ++i) acc[i] = std::stoi(pi.substr(5 * static_cast<std::size_t>(i - 1), 5));
  return acc;
}

// The whole result file for formula `id` and N = `digits` (a multiple of
// 5), its words taken from `pi`, pi's places after "3." (at least N + 10 of
// them: both guard words are filled).
inline std::string result_text(std::int32_t id, std::int32_t digits, const std::string& pi, double seconds = 1.25) {
  const std::int32_t n = digits / 5 + 3;
  const std::vector<std::int32_t> acc = pi_words(n, pi);
  return written_bytes([&](std::FILE* file) {
    write_result_header(file, digits, id);
    write_result_time(file, seconds);
    write_result_digits(file, acc.data(), n);
  });
}

inline const std::string& pi() {
  static const std::string places = trusted_pi_places(30000);
  return places;
}

// Where place p (1-based) of the digit rows sits in a result file's text.
inline std::size_t place_offset(const std::string& text, long p) {
  const std::size_t rows = text.find(" Pi = 3.") + 8;
  const auto i = static_cast<std::size_t>(p - 1);
  return rows + (i / 80) * 98 + 10 + (i % 80 / 10) * 11 + 1 + i % 10;
}

// The wrong digit the tests put in place of `digit`.
inline char flipped(char digit) { return static_cast<char>('0' + (digit - '0' + 7) % 10); }

// `text` with the digit at place p changed to another digit.
inline std::string with_wrong_digit(std::string text, long p) {
  char& c = text[place_offset(text, p)];
  c = flipped(c);
  return text;
}

inline const std::string TITLE = " ** Pi Computation with the original arctan method ** ";

// The message on a first line of `count` NUL bytes, more than the 512
// that are quoted.
inline std::string nul_line_message(std::size_t count) {
  std::string shown;
  for (int i = 0; i < 512; ++i) shown += "\\x00";
  return "not an atanpi result file: expected \"" + TITLE + "\", found \"" + shown + "\"... (" +
         std::to_string(count) + " bytes)";
}

}  // namespace atanorg::test_support
