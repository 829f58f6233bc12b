// Result files for the checker's tests, written by the program's own
// writers from pi's words, and the checker run as a child process.
#pragma once

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "report/result_writer.hpp"

namespace atanorg::testing {

// The whole result file for formula `id` and N = `digits` (a multiple of
// 5), its words taken from `pi`, pi's places after "3." (at least N + 10 of
// them: both guard words are filled).
inline std::string result_text(std::int32_t id, std::int32_t digits, const std::string& pi, double seconds = 1.25) {
  const std::int32_t n = digits / 5 + 3;
  std::vector<std::int32_t> acc(n > 0 ? n : 1, 3);
  for (std::int32_t i = 1; i < n; ++i) acc[i] = std::stoi(pi.substr(5 * static_cast<std::size_t>(i - 1), 5));
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* file = open_memstream(&data, &size);
  write_result_header(file, digits, id);
  write_result_time(file, seconds);
  write_result_digits(file, acc.data(), n);
  std::fclose(file);
  std::string text(data, size);
  std::free(data);
  return text;
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct Finished {
  int status = -1;  // exit status, or -1 when not a normal exit
  std::string out;  // standard output
};

// Runs a shell command line; standard error goes to the test's own.
inline Finished run_command(const std::string& command) {
  Finished result;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, got);
  const int raw = pclose(pipe);
  if (raw != -1 && WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
  return result;
}

}  // namespace atanorg::testing
