// The result file read back. The layout is checked in one pass over the
// text with the expected row number and group count known in advance, so a
// file at the cap (about 6 MB) is checked in a few milliseconds; the digits
// are gathered into one string for the comparison with pi.
#include "verify/result_check.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "platform/file_names.hpp"
#include "platform/platform.hpp"

namespace atanorg {
namespace {

constexpr std::string_view TITLE_LINE = " ** Pi Computation with the original arctan method ** ";
constexpr std::string_view COUNT_PREFIX = "  Number of Pi Decimal-Digits= ";
constexpr std::string_view ID_PREFIX = ", ID= ";
constexpr std::string_view TIME_PREFIX = " Pi Computation,  Time(s)= ";
constexpr std::string_view DIGITS_START = " Pi = 3.";

// The largest digit count atanpi writes: 1,000,007 fraction words.
constexpr std::int32_t MAX_DIGITS = 5000035;
// Formula ids run from 1 to this.
constexpr std::int32_t FORMULA_IDS = 5;
constexpr int GROUPS_PER_ROW = 8;
constexpr int GROUP_PLACES = 10;

// The widest fields the header lines accept, as "%d" and "%f" write the
// writer's values (no sign but '-', no leading zeros): N down to
// -2,147,483,645 (11 characters; 7 for N at the cap), the id 1 to 5 (one),
// and a time of at most 9 digits before the point (the writer's time is
// never negative and at most 999,999,999.999 s).
constexpr std::size_t COUNT_CHARS = 11;
constexpr std::size_t CAP_COUNT_CHARS = 7;
constexpr std::size_t ID_CHARS = 1;
constexpr std::size_t SECONDS_DIGITS = 9;
constexpr std::size_t CRLF = 2;

// Places in the rows for N: whole pairs of five-digit words.
constexpr long places_for(std::int32_t digits) { return digits > 0 ? (digits / 5 + 1) / 2 * GROUP_PLACES : 0; }

constexpr std::size_t TITLE_BYTES = TITLE_LINE.size() + CRLF;
constexpr std::size_t count_bytes(std::size_t count_chars) {
  return COUNT_PREFIX.size() + count_chars + ID_PREFIX.size() + ID_CHARS + 1 + CRLF;
}
constexpr std::size_t TIME_BYTES = TIME_PREFIX.size() + SECONDS_DIGITS + 1 + 6 + 1 + CRLF;

// At the cap: 5,000,040 places in 500,004 groups of a space and ten digits,
// 62,501 rows of a line end and " %8d".
constexpr std::size_t largest_result_bytes() {
  const std::size_t groups = places_for(MAX_DIGITS) / GROUP_PLACES;
  const std::size_t rows = (groups + GROUPS_PER_ROW - 1) / GROUPS_PER_ROW;
  return TITLE_BYTES + count_bytes(CAP_COUNT_CHARS) + TIME_BYTES + CRLF + DIGITS_START.size() + rows * (CRLF + 9) +
         groups * (1 + GROUP_PLACES);
}
static_assert(largest_result_bytes() == 6187715);

// Lines longer than this are cut in messages. Every line a result file can
// have is shorter (a full row has 97 bytes), so it is quoted whole; a binary
// file's first "line" is not.
constexpr std::size_t QUOTE_LIMIT = 512;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Appends byte `c` as C writes it in a string literal: printable ASCII as
// it is, quotes and backslashes escaped, \n \r \t, other bytes as \xNN.
void append_escaped(std::string& out, unsigned char c) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
  }
  if (c >= 0x20 && c < 0x7f) {
    out += static_cast<char>(c);
  } else {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02x", c);
    out += buf;
  }
}

// `text` for a message: in double quotes, so that spaces at either end
// show, escaped; cut after QUOTE_LIMIT bytes, with its length.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size() && i < QUOTE_LIMIT; ++i) {
    append_escaped(out, static_cast<unsigned char>(text[i]));
  }
  out += '"';
  if (text.size() > QUOTE_LIMIT) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}

// Characters beyond ASCII that show nothing, or only space, or turn the
// text's direction: a name holding one reads like another name. C1
// controls, Unicode spaces, zero-width characters, bidi marks, embeddings
// and isolates, fillers, variation selectors, tags and other format and
// default-ignorable characters, the byte order mark and noncharacters.
struct CodeRange {
  char32_t first, last;
};
constexpr CodeRange UNSEEN[] = {
    {0x0080, 0x00a0}, {0x00ad, 0x00ad}, {0x034f, 0x034f}, {0x061c, 0x061c}, {0x115f, 0x1160},
    {0x1680, 0x1680}, {0x17b4, 0x17b5}, {0x180b, 0x180f}, {0x2000, 0x200f}, {0x2028, 0x202f},
    {0x205f, 0x206f}, {0x3000, 0x3000}, {0x3164, 0x3164}, {0xfdd0, 0xfdef}, {0xfe00, 0xfe0f},
    {0xfeff, 0xfeff}, {0xffa0, 0xffa0}, {0xfff0, 0xfffb}, {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a},
    {0xe0000, 0xe0fff},
};

bool unseen(char32_t code) {
  if ((code & 0xfffe) == 0xfffe) return true;  // U+FFFE and U+FFFF of every plane
  for (const CodeRange& r : UNSEEN) {
    if (code >= r.first && code <= r.last) return true;
  }
  return false;
}

// The length of the well-formed UTF-8 sequence of a character beyond ASCII
// at the start of `s`, its code point in `code`; 0 when there is none.
std::size_t utf8_sequence(std::string_view s, char32_t& code) {
  const auto lead = static_cast<unsigned char>(s[0]);
  std::size_t length = 0;
  code = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2, code = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3, code = lead & 0x0f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4, code = lead & 0x07;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if ((c & 0xc0) != 0x80) return 0;
    code = code << 6 | (c & 0x3f);
  }
  constexpr char32_t SHORTEST[] = {0, 0, 0x80, 0x800, 0x10000};  // below these a form is overlong
  if (code < SHORTEST[length] || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff) return 0;
  return length;
}

// True when the digits s[first, end) are a number as printf writes it: at
// least one, and no leading zero but in "0" itself.
bool plain_digits(std::string_view s, std::size_t first, std::size_t end) {
  return end > first && (s[first] != '0' || end == first + 1);
}

// Reads an optional '-' and 1 to 10 digits as "%d" writes them; false when
// there is no such number (leading zeros, "-0"), or it is outside the
// 32-bit range.
bool take_int(std::string_view& s, std::int32_t& value) {
  std::size_t i = 0;
  const bool negative = !s.empty() && s[0] == '-';
  if (negative) ++i;
  const std::size_t first = i;
  std::int64_t magnitude = 0;
  while (i < s.size() && is_digit(s[i]) && i - first < 11) magnitude = magnitude * 10 + (s[i++] - '0');
  if (!plain_digits(s, first, i) || (i < s.size() && is_digit(s[i])) || (negative && magnitude == 0)) return false;
  const std::int64_t v = negative ? -magnitude : magnitude;
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) return false;
  value = static_cast<std::int32_t>(v);
  s.remove_prefix(i);
  return true;
}

bool take(std::string_view& s, std::string_view prefix) {
  if (s.substr(0, prefix.size()) != prefix) return false;
  s.remove_prefix(prefix.size());
  return true;
}

// "%f" of a time: 1 to SECONDS_DIGITS digits without leading zeros, '.'
// and exactly six decimals.
bool take_seconds(std::string_view& s) {
  std::size_t i = 0;
  while (i < s.size() && is_digit(s[i])) ++i;
  if (!plain_digits(s, 0, i) || i > SECONDS_DIGITS || i >= s.size() || s[i] != '.') return false;
  ++i;
  for (int k = 0; k < 6; ++k, ++i) {
    if (i >= s.size() || !is_digit(s[i])) return false;
  }
  s.remove_prefix(i);
  return true;
}

class Parser {
 public:
  Parser(std::string_view text, std::int32_t named_id) : text_(text), named_id_(named_id) {}

  ParsedResult run();

 private:
  // The rest of the current line (without its line end) and whether a line
  // end follows it.
  std::string_view current_line(bool* has_end = nullptr) const {
    const std::size_t nl = text_.find('\n', pos_);
    std::string_view line = text_.substr(pos_, nl == std::string_view::npos ? std::string_view::npos : nl - pos_);
    if (has_end) *has_end = nl != std::string_view::npos;
    if (nl != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
  }

  // Moves past the current line and its line end; false when that line end
  // is not the file's (see line_end_ below).
  bool next_line() {
    const std::size_t nl = text_.find('\n', pos_);
    if (nl == std::string_view::npos) {
      pos_ = text_.size();
    } else {
      if (!is_file_line_end(nl)) return false;
      pos_ = nl + 1;
    }
    ++line_;
    return true;
  }

  // Whether the "\n" at `nl` ends its line as the first line ends.
  bool is_file_line_end(std::size_t nl) const {
    const bool with_cr = nl > 0 && text_[nl - 1] == '\r';
    return with_cr == (line_end_ == "\r\n");
  }

  // Moves past a line end at the current position; false when there is
  // none there, or another than the file's (then `mixed` is set).
  bool take_line_end(bool& mixed) {
    mixed = false;
    for (const std::string_view end : {std::string_view("\n"), std::string_view("\r\n")}) {
      if (text_.compare(pos_, end.size(), end) != 0) continue;
      mixed = end != line_end_;
      if (mixed) return false;
      pos_ += end.size();
      ++line_;
      return true;
    }
    return false;
  }

  // The message for a line whose end is not the first line's.
  ParsedResult& fail_line_end() {
    const bool crlf = line_end_ == "\r\n";
    return fail(std::string("the line ends in ") + (crlf ? "LF" : "CR LF") + ", the first line in " +
                (crlf ? "CR LF" : "LF") + ": atanpi ends every line alike");
  }

  bool at_end() const { return pos_ >= text_.size(); }

  ParsedResult& fail(std::string message) {
    result_.ok = false;
    result_.line = line_;
    result_.message = std::move(message);
    return result_;
  }

  ParsedResult& fail_here(const std::string& expected) {
    return fail("expected " + expected + ", found " + quoted(current_line()));
  }

  ParsedResult& rows();
  std::string count_so_far() const;

  std::string_view text_;
  std::size_t pos_ = 0;
  long line_ = 1;
  std::int32_t named_id_;
  // The file's line end, "\n" or "\r\n": the first line's. Every line
  // must end alike, as the program's text mode writes them.
  std::string_view line_end_ = "\n";
  ParsedResult result_;
  long wanted_places_ = 0;
};

ParsedResult Parser::run() {
  if (text_.empty()) return fail("the file is empty");

  bool has_end = false;
  std::string_view line = current_line(&has_end);
  if (line != TITLE_LINE) {
    return fail("not an atanpi result file: expected " + quoted(TITLE_LINE) + ", found " + quoted(line));
  }
  if (!has_end) return fail("the file ends after the title line");
  if (text_[text_.find('\n') - 1] == '\r') line_end_ = "\r\n";
  if (!next_line()) return fail_line_end();

  line = current_line(&has_end);
  std::string_view s = line;
  std::int32_t digits = 0;
  std::int32_t id = 0;
  if (!(take(s, COUNT_PREFIX) && take_int(s, digits) && take(s, ID_PREFIX) && take_int(s, id) && s == " ")) {
    return fail_here(quoted("  Number of Pi Decimal-Digits= N, ID= K "));
  }
  result_.header_read = true;
  result_.digits = digits;
  result_.formula_id = id;
  if (id < 1 || id > FORMULA_IDS) return fail("formula id " + std::to_string(id) + " is not one of 1 to 5");
  if (named_id_ != 0 && id != named_id_) {
    return fail("formula id " + std::to_string(id) + " in a file named AtanOrg" + std::to_string(named_id_) +
                ".txt, which formula " + std::to_string(named_id_) + " writes");
  }
  if (digits % 5 != 0) return fail("digit count " + std::to_string(digits) + " is not a multiple of 5");
  if (digits > MAX_DIGITS) {
    return fail("digit count " + std::to_string(digits) + " is beyond the cap of " + std::to_string(MAX_DIGITS));
  }
  if (!has_end) return fail("the file ends after the digit count line");
  if (!next_line()) return fail_line_end();

  line = current_line(&has_end);
  s = line;
  if (!(take(s, TIME_PREFIX) && take_seconds(s) && s == " ")) {
    return fail_here(quoted(" Pi Computation,  Time(s)= S ") + " (S in seconds with six decimals)");
  }
  if (!has_end) return fail("the file ends after the time line");
  if (!next_line()) return fail_line_end();

  line = current_line(&has_end);
  if (!line.empty()) return fail_here("an empty line");
  if (!has_end) return fail("the file ends before the empty line");
  if (!next_line()) return fail_line_end();

  if (text_.compare(pos_, DIGITS_START.size(), DIGITS_START) != 0) return fail_here(quoted(DIGITS_START));
  pos_ += DIGITS_START.size();
  return rows();
}

std::string Parser::count_so_far() const {
  return std::to_string(result_.places.size()) + " of the " + std::to_string(wanted_places_) + " places that N=" +
         std::to_string(result_.digits) + " calls for";
}

ParsedResult& Parser::rows() {
  wanted_places_ = places_for(result_.digits);
  const std::int64_t groups = wanted_places_ / GROUP_PLACES;  // pairs of words
  result_.places.reserve(static_cast<std::size_t>(wanted_places_));

  for (std::int64_t g = 0; g < groups; ++g) {
    const std::int64_t place = g * GROUP_PLACES + 1;
    const std::int64_t row_place = (g / GROUPS_PER_ROW) * GROUPS_PER_ROW * GROUP_PLACES + 1;
    const std::int64_t group_in_row = g % GROUPS_PER_ROW + 1;

    if (group_in_row == 1) {
      // A line end, then the place of the row's first digit in 8 columns.
      if (at_end()) return fail("the file ends after " + count_so_far());
      bool mixed = false;
      if (!take_line_end(mixed)) {
        if (mixed) return fail_line_end();
        if (text_[pos_] == ' ') {
          return fail("the row numbered " + std::to_string(row_place - GROUPS_PER_ROW * GROUP_PLACES) +
                      " holds more than " + std::to_string(GROUPS_PER_ROW) + " groups of ten digits");
        }
        return fail("expected a line end, found " + quoted(current_line()));
      }
      char number[16];
      std::snprintf(number, sizeof number, " %8d", static_cast<int>(row_place));
      const std::string_view number_text = number;
      if (text_.compare(pos_, 9, number) != 0) {
        if (at_end()) return fail("the file ends with a line end after " + count_so_far());
        std::string_view field = text_.substr(pos_, 9);
        std::size_t i = 0;
        while (i < field.size() && field[i] == ' ') ++i;
        std::string_view digits = field.substr(i);
        const bool numeric = field.size() == 9 && i >= 1 && !digits.empty() &&
                             digits.find_first_not_of("0123456789") == std::string_view::npos;
        if (numeric) {
          const std::string found = "row numbered " + std::string(digits) + ", expected " + std::to_string(row_place);
          const long long number = std::stoll(std::string(digits));
          if (number < 1 || (number - 1) % (GROUPS_PER_ROW * GROUP_PLACES) != 0) return fail(found);
          // Every row numbered below this one has been read.
          if (number < row_place) return fail(found + " (a row repeated)");
          // The row that belongs here further on: rows out of order.
          const bool later = text_.find("\n" + std::string(number_text), pos_) != std::string_view::npos;
          return fail(found + (later ? " (rows out of order: the row numbered " + std::to_string(row_place) +
                                           " comes later)"
                                     : " (a row is missing)"));
        }
        return fail("expected a row numbered " + std::to_string(row_place) + " in 8 columns after a space, found " +
                    quoted(current_line()));
      }
      pos_ += 9;
    }

    // A space and ten digits.
    if (at_end()) return fail("the file ends after " + count_so_far());
    const std::string_view group = text_.substr(pos_, 1 + GROUP_PLACES);
    std::size_t n = 0;
    if (group[0] == ' ') {
      n = 1;
      while (n < group.size() && is_digit(group[n])) ++n;
    }
    if (n != 1 + GROUP_PLACES) {
      if (n >= 1 && pos_ + n == text_.size()) {
        result_.places.append(group.substr(1, n - 1));
        return fail("the file ends after " + count_so_far());
      }
      if (group[0] == '\n' || group[0] == '\r') {
        const std::int64_t row_groups = std::min<std::int64_t>(GROUPS_PER_ROW, groups - g + group_in_row - 1);
        return fail("the row numbered " + std::to_string(row_place) + " ends after " +
                    std::to_string(group_in_row - 1) + " groups of ten digits; N=" + std::to_string(result_.digits) +
                    " calls for " + std::to_string(row_groups));
      }
      return fail("group " + std::to_string(group_in_row) + " of the row numbered " + std::to_string(row_place) +
                  " (place " + std::to_string(place) + "): expected a space and ten digits, found " +
                  quoted(text_.substr(pos_, 1 + GROUP_PLACES)));
    }
    result_.places.append(group.substr(1));
    pos_ += group.size();
  }

  if (!at_end()) {
    const std::string_view rest = text_.substr(pos_);
    if (rest == "\n" || rest == "\r\n") {
      return fail(std::string("the file ends with a line end; atanpi ends it right after ") +
                  (groups > 0 ? "the last digit" : "\" Pi = 3.\""));
    }
    const std::string n = std::to_string(result_.digits);
    if (groups == 0) return fail("N=" + n + " calls for no digit rows, but the file goes on: " + quoted(rest));
    return fail("the file goes on past place " + std::to_string(wanted_places_) + ", the last that N=" + n +
                " calls for: " + quoted(rest));
  }
  result_.ok = true;
  result_.line = 0;
  return result_;
}

}  // namespace

const std::size_t MAX_RESULT_BYTES = largest_result_bytes();
const std::size_t HEAD_BYTES = TITLE_BYTES + count_bytes(COUNT_CHARS);

ParsedResult parse_result(std::string_view text, std::int32_t named_id) { return Parser(text, named_id).run(); }

std::int32_t formula_id_of_name(std::string_view path) {
  for (std::int32_t id = 1; id <= FORMULA_IDS; ++id) {
    if (path_names_file(path, "AtanOrg" + std::to_string(id) + ".txt")) return id;
  }
  return 0;
}

long places_needed(std::string_view head) {
  const ParsedResult r = parse_result(head.substr(0, HEAD_BYTES));
  // A fault past line 2 leaves a header that was read and accepted.
  return r.header_read && (r.ok || r.line > 2) ? places_for(r.digits) : 0;
}

DigitCheck check_digits(const ParsedResult& result, std::string_view pi_places) {
  DigitCheck check;
  const std::string_view places = result.places;
  const std::size_t counted = result.digits > 0 ? std::min<std::size_t>(places.size(), result.digits) : 0;
  for (std::size_t i = 0; i < counted; ++i) {
    if (places[i] != pi_places[i]) {
      if (check.wrong_count++ == 0) {
        check.first_wrong = static_cast<long>(i + 1);
        check.expected = pi_places[i];
        check.found = places[i];
      }
    }
  }
  check.guard_found = places.substr(counted);
  check.guard_expected = pi_places.substr(counted, check.guard_found.size());
  return check;
}

bool passes(const ParsedResult& result, const DigitCheck& digits) { return result.ok && digits.wrong_count == 0; }

std::string describe(std::string_view name, const ParsedResult& result, const DigitCheck& digits) {
  std::string out = display_name(name);
  out += ": ";
  if (result.header_read) {
    out += "formula " + std::to_string(result.formula_id) + ", N=" + std::to_string(result.digits) + ": ";
  }
  if (!result.ok) {
    out += "malformed, line " + std::to_string(result.line) + ": " + result.message;
    return out;
  }
  const std::string n = std::to_string(result.digits);
  if (result.digits <= 0) {
    out += "no digits to check, layout correct";
  } else if (digits.wrong_count == 0) {
    out += "all " + n + " digits correct";
  } else {
    out += "first wrong digit at place " + std::to_string(digits.first_wrong) + ": expected " + digits.expected +
           ", found " + digits.found + " (" + std::to_string(digits.wrong_count) + " of " + n + " digits wrong)";
  }
  if (!digits.guard_found.empty()) {
    const long first_guard = static_cast<long>(result.digits) + 1;
    const long last_guard = first_guard + static_cast<long>(digits.guard_found.size()) - 1;
    out += "; guard places " + std::to_string(first_guard) + "-" + std::to_string(last_guard);
    if (digits.guard_found == digits.guard_expected) {
      out += " match pi";
    } else {
      out += " read " + digits.guard_found + ", pi has " + digits.guard_expected + " (not counted)";
    }
  }
  return out;
}

std::string display_name(std::string_view name) {
  std::string escaped;
  bool plain = !name.empty();
  for (std::size_t i = 0; i < name.size();) {
    const auto c = static_cast<unsigned char>(name[i]);
    char32_t code = 0;
    const std::size_t wide = c >= 0x80 ? utf8_sequence(name.substr(i), code) : 0;
    if (wide > 0 && !unseen(code)) {
      escaped.append(name.substr(i, wide));
      i += wide;
      continue;
    }
    if (wide > 0) {
      char buf[16];
      std::snprintf(buf, sizeof buf, code > 0xffff ? "\\U%08x" : "\\u%04x", static_cast<unsigned>(code));
      escaped += buf;
      plain = false;
      i += wide;
      continue;
    }
    // A path as the system writes it: '\\' separates folders on Windows.
    if (is_path_separator(name[i])) {
      escaped += name[i++];
      continue;
    }
    const std::size_t before = escaped.size();
    append_escaped(escaped, c);
    plain = plain && escaped.size() == before + 1;
    ++i;
  }
  return plain ? escaped : "\"" + escaped + "\"";
}

OpenedFile open_result_source(const std::string& path, bool regular_only) {
  OpenedFile file;
  file.fd = open_for_reading(path, regular_only);
  if (file.fd < 0 && errno != 0 && !(regular_only && (errno == EMFILE || errno == ENFILE))) {
    file.error = error_text(errno);
  }
  return file;
}

FileStart read_head(int fd, std::size_t limit) {
  FileStart file;
  file.size = regular_file_size(fd);
  if (file.size < 0) return file;
  file.text.resize(limit);
  std::size_t got = 0;
  while (got < limit) {
    const long n = read_at(fd, file.text.data() + got, limit - got, static_cast<std::int64_t>(got));
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  file.text.resize(got);
  file.complete = got < limit;
  return file;
}

FileStart read_file_start(int fd, std::size_t limit) {
  // Closed however this ends, std::bad_alloc included.
  struct Closer {
    int fd;
    ~Closer() { close_descriptor(fd); }
  } closer{fd};
  FileStart file;
  file.size = regular_file_size(fd);
  if (file.size >= 0) file.text.reserve(std::min<std::size_t>(limit, static_cast<std::size_t>(file.size)) + 1);
  // One byte beyond the limit tells whether the file goes on. The buffer is
  // not on the stack, which may be small (ulimit -s).
  const std::size_t wanted = limit + 1;
  constexpr std::size_t BUFFER_BYTES = 1 << 16;
  const std::unique_ptr<char[]> buffer(new char[BUFFER_BYTES]);
  while (file.text.size() < wanted) {
    const long got = read_some(fd, buffer.get(), std::min(BUFFER_BYTES, wanted - file.text.size()));
    if (got > 0) {
      file.text.append(buffer.get(), static_cast<std::size_t>(got));
    } else if (got == 0) {
      break;
    } else {
      file.error = error_text(errno);
      file.text.clear();
      break;
    }
  }
  file.complete = file.error.empty() && file.text.size() <= limit;
  if (file.text.size() > limit) file.text.resize(limit);
  return file;
}

}  // namespace atanorg
