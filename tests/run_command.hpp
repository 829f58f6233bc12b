// A shell command line run as a child process, for the tests of the
// checker as a program: its standard output and exit status.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace atanorg::test_support {

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

}  // namespace atanorg::test_support
