// The standard descriptors, the terminal, the command line and the error
// texts on WebAssembly (emscripten). Under Node.js emscripten's isatty says
// yes for every stream, pipes included: Node is asked instead, on its own
// thread (MAIN_THREAD_EM_ASM: the program's main() runs on another, see
// result_file_wasm.cpp). A page's worker has no terminal.
#include <emscripten.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/platform.hpp"

namespace atanorg {
namespace {

// The terminal's width, read when is_terminal finds one: the progress
// line's thread cannot ask Node itself.
std::atomic<int> columns_seen{0};

}  // namespace

bool open_closed_standard_descriptors() {
  // Node opens the three streams itself, and a page has no descriptors.
  return true;
}

void ignore_broken_pipe_signal() {
  // No signals: a write to a pipe without a reader fails with an error.
}

bool is_terminal(int fd) {
  const int columns = MAIN_THREAD_EM_ASM_INT(
      {
        if (!ENVIRONMENT_IS_NODE || !require('tty').isatty($0)) return -1;
        const stream = $0 == 1 ? process.stdout : $0 == 2 ? process.stderr : process.stdin;
        return stream && stream.columns ? stream.columns : 0;
      },
      fd);
  if (columns < 0) return false;
  columns_seen.store(columns);
  return true;
}

bool in_terminal_foreground(int) {
  // Node shows no process groups: a terminal counts as the foreground.
  return true;
}

int terminal_columns(int) { return columns_seen.load(); }

void write_fully(int fd, const char* data, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      return;
    }
  }
}

std::vector<std::string> program_arguments(int argc, char** argv) { return {argv + (argc > 0 ? 1 : 0), argv + argc}; }

std::string error_text(int err) { return std::strerror(err); }

}  // namespace atanorg
