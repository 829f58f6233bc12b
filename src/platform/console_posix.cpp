// The standard descriptors, the terminal, the command line and the system's
// error texts on Linux and other POSIX systems.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/platform.hpp"

namespace atanorg {

bool open_closed_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is fd itself: those below it are open.
    if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) return false;
  }
  return true;
}

void ignore_broken_pipe_signal() { std::signal(SIGPIPE, SIG_IGN); }

bool is_terminal(int fd) { return isatty(fd) == 1; }

bool in_terminal_foreground(int fd) {
  const pid_t foreground = tcgetpgrp(fd);
  return foreground != -1 && foreground == getpgrp();
}

int terminal_columns(int fd) {
  struct winsize size {};
  return ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

void write_fully(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

std::vector<std::string> program_arguments(int argc, char** argv) { return {argv + (argc > 0 ? 1 : 0), argv + argc}; }

std::string error_text(int err) { return std::strerror(err); }

}  // namespace atanorg
