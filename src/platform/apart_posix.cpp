// Work run apart on POSIX systems: in a child process made by fork, the
// text it makes handed back through a pipe. The child ends with _exit, so
// that what this process's stdio buffers hold is written once, by this one.
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/apart.hpp"

namespace atanorg {
namespace {

bool in_child = false;

// The exit status of a child whose work failed otherwise.
constexpr int WORK_FAILED = 70;

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

[[noreturn]] void run_in_child(std::string (*work)(void*), void* context, int fd) {
  in_child = true;
  int status = WORK_FAILED;
  try {
    const std::string text = work(context);
    if (write_all(fd, text.data(), text.size())) status = 0;
  } catch (const std::bad_alloc&) {
    status = APART_OUT_OF_MEMORY;
  } catch (...) {
  }
  _exit(status);
}

// Reads `fd` to its end into `text`; false when memory runs out first.
bool read_all(int fd, std::string& text) {
  text.clear();
  try {
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        return true;
      }
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

ApartEnd run_apart(std::string (*work)(void*), void* context, std::string& text, std::string& why) {
  int fds[2] = {-1, -1};
  pid_t pid = -1;
  if (pipe(fds) == 0) {
    pid = fork();
    if (pid < 0) {
      close(fds[0]);
      close(fds[1]);
    }
  }
  if (pid < 0) {
    // No process (or pipe) to spare: the work runs here.
    try {
      text = work(context);
    } catch (const std::bad_alloc&) {
      return ApartEnd::out_of_memory;
    }
    return ApartEnd::done;
  }
  if (pid == 0) {
    close(fds[0]);
    run_in_child(work, context, fds[1]);
  }
  close(fds[1]);
  const bool whole = read_all(fds[0], text);
  // A child still writing then ends with EPIPE.
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const bool out_of_memory = !whole || (WIFEXITED(status) && WEXITSTATUS(status) == APART_OUT_OF_MEMORY);
  if (whole && WIFEXITED(status) && WEXITSTATUS(status) == 0) return ApartEnd::done;
  text.clear();
  if (out_of_memory) return ApartEnd::out_of_memory;
  why = WIFSIGNALED(status) ? std::string(strsignal(WTERMSIG(status)))
                            : "exit status " + std::to_string(WEXITSTATUS(status));
  return ApartEnd::failed;
}

bool running_apart() { return in_child; }

}  // namespace atanorg
