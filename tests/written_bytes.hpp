// What a writer puts into a stdio stream, byte for byte: written to a file
// of its own in the temporary directory and read back (open_memstream is not
// on every platform). In binary mode the writer's own bytes; in text mode
// what the platform stores for them (CR LF line ends on Windows).
#pragma once

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>

namespace atanorg::testing {

inline std::string written_bytes(const std::function<void(std::FILE*)>& write, bool text_mode = false) {
  static std::atomic<int> count{0};
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("atanpi-written-" + std::to_string(std::random_device{}()) + "-" + std::to_string(count++));
  std::FILE* file = std::fopen(path.string().c_str(), text_mode ? "w" : "wb");
  if (file == nullptr) return "(cannot create " + path.string() + ")";
  write(file);
  std::fclose(file);
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  in.close();
  std::filesystem::remove(path);
  return text.str();
}

}  // namespace atanorg::testing
