// Files read and written whole, for the tests. What a writer puts into a
// stdio stream, byte for byte: written to a file of its own in the
// temporary directory and read back (open_memstream is not on every
// platform). In binary mode the writer's own bytes; in text mode what the
// platform stores for them (CR LF line ends on Windows, which with_crlf
// makes of the writer's own).
#pragma once

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>

namespace atanorg::test_support {

// A file's bytes, as they are on disk.
inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string written_bytes(const std::function<void(std::FILE*)>& write, bool text_mode = false) {
  static std::atomic<int> count{0};
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("atanpi-written-" + std::to_string(std::random_device{}()) + "-" + std::to_string(count++));
  std::FILE* file = std::fopen(path.string().c_str(), text_mode ? "w" : "wb");
  if (file == nullptr) return "(cannot create " + path.string() + ")";
  write(file);
  std::fclose(file);
  std::string text = read_file(path);
  std::filesystem::remove(path);
  return text;
}

// `text` with each "\n" as CR LF, as Windows' text mode stores it.
inline std::string with_crlf(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

}  // namespace atanorg::test_support
