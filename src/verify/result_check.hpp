// Reading a result file back and checking it: the layout line by line, then
// every digit against pi from an independent source.
//
// The checker accepts exactly what atanpi writes: the two header lines, the
// time line and the empty line, " Pi = 3." and rows of up to eight groups of
// ten digits, each row numbered with the place of its first digit, and no
// line end after the last row. Line ends are "\n" or "\r\n", every line
// ending as the first does.
//
// Files are read only up to the largest size a result can have, and names
// and lines in messages are escaped, so that neither a device nor a hostile
// file can take unbounded memory or break the one-line-per-file output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace atanorg {

// The most bytes a file that passes the layout check can hold: 6,187,715,
// reached at N = 5,000,035 with CR LF line ends and the widest fields the
// header lines allow (see result_check.cpp). No margin is added: the tests
// build that file and check its size.
extern const std::size_t MAX_RESULT_BYTES;

// Bytes enough for the first two lines of any file that passes (108).
extern const std::size_t HEAD_BYTES;

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

// Checks the layout of a whole result file held in memory. `named_id`, when
// not 0, is the formula whose name the file has (formula_id_of_name): the
// header's id must be that one.
ParsedResult parse_result(std::string_view text, std::int32_t named_id = 0);

// K for a path that leads to a file named "AtanOrgK.txt", K from 1 to 5,
// the name formula K writes, as the system matches names (path_names_file:
// on Windows "sub\atanorg2.txt." too); 0 for any other name, such as one
// the user chose on renaming a result, whose header alone then says its
// formula.
std::int32_t formula_id_of_name(std::string_view path);

// The places of pi that checking a file will take, from the file's first
// HEAD_BYTES bytes (or all of it when shorter): N rounded up to whole pairs
// of words, or 0 when its first two lines are not a valid header.
long places_needed(std::string_view head);

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

// The one-line verdict for a file: the name (as display_name gives it), the
// formula id, N, and either all digits correct or the first wrong place; or
// the layout fault and its line. `digits` is ignored for a malformed file.
std::string describe(std::string_view name, const ParsedResult& result, const DigitCheck& digits);

// True when the file checks out: well formed and every place 1..N right.
// Guard places do not count.
bool passes(const ParsedResult& result, const DigitCheck& digits);

// A file name for the one-line output: as it is when it holds only
// characters that show (ASCII, or well-formed UTF-8) other than '"' and
// '\\' (which separates folders on Windows, and shows as it is there);
// otherwise in double quotes with C escapes (\n, \t, \", \\, \xNN
// for other control characters and stray bytes, \uXXXX or \UXXXXXXXX for
// characters beyond ASCII that show nothing or only space, or turn the
// text's direction: zero-width, bidi and format characters, Unicode spaces),
// so that it stays on one line and cannot be mistaken for another name.
std::string display_name(std::string_view name);

// The start of a file, read up to a limit.
struct FileStart {
  std::string text;        // its first bytes, at most the limit
  bool complete = false;   // the file ends within the limit
  std::int64_t size = -1;  // the size of a regular file; -1 for pipes and devices
  std::string error;       // the system's reason when it cannot be read
};

// A file opened for checking. Each path is opened once: a pipe or a device
// could not be read a second time, and a FIFO opened and closed again loses
// what its writer sent.
struct OpenedFile {
  int fd = -1;        // -1: not opened (yet)
  std::string error;  // the system's reason when it cannot be opened
};

// Opens `path` for reading. With `regular_only` (the pass over the headers),
// only a path that stat shows to be a regular file is opened, and without
// waiting; anything else is left unopened, with no error, for its turn, and
// so is a file when the process is out of descriptors.
OpenedFile open_result_source(const std::string& path, bool regular_only);

// The first `limit` bytes of the regular file open on `fd`, read without
// moving its offset, and its size; nothing for pipes and devices.
FileStart read_head(int fd, std::size_t limit);

// Reads at most `limit` bytes from `fd` (blocking, whatever it was opened
// with), and one more to tell whether it goes on, so that /dev/zero or a
// file of gigabytes costs `limit` bytes; then closes it.
FileStart read_file_start(int fd, std::size_t limit);

}  // namespace atanorg
