// A shell command line run as a child process, for the tests of the
// checker as a program: its standard output and exit status. And the
// words that start a program with no thread or process to spare.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

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

// The words before `program` that start it with no thread or process to
// spare, as under `ulimit -u 1`: the user's processes limited to 1
// (prlimit), as the user nobody when the tests run as root, whom the limit
// does not bind (setpriv); without LeakSanitizer's check at exit, which
// needs a thread. Empty, with `why` set, where that cannot be done: under an
// emulator, which cannot start its own threads then, or where nobody may not
// run the program (a build tree in root's home, as in a chroot).
inline std::vector<std::string> no_threads_prefix(const std::string& program, std::string& why) {
  if (ATANPI_EMULATED_TESTS) {
    why = "the emulator needs threads of its own";
    return {};
  }
  std::vector<std::string> words;
  if (geteuid() == 0) words = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  words.insert(words.end(), {"/usr/bin/prlimit", "--nproc=1", "--", "/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0"});
  std::string line;
  for (const std::string& w : words) line += w + " ";
  if (run_command(line + "test -x '" + program + "' 2>&1").status != 0) {
    why = "cannot run " + program + " as `" + line + "` here";
    return {};
  }
  return words;
}

}  // namespace atanorg::test_support
