// The platform interface on Linux and other POSIX systems.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/cpu_quota.hpp"
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

void ignore_broken_pipe_signal() { signal(SIGPIPE, SIG_IGN); }

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

namespace {

// Processors in the affinity mask; 0 when it cannot be read. The mask is
// grown until it holds every processor the kernel knows of.
int affinity_processors() {
  for (int size = 1024; size <= (1 << 20); size *= 2) {
    cpu_set_t* set = CPU_ALLOC(size);
    if (set == nullptr) return 0;
    const std::size_t bytes = CPU_ALLOC_SIZE(size);
    const int got = sched_getaffinity(0, bytes, set);
    const int count = got == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (got == 0) return count;
    if (errno != EINVAL) return 0;
  }
  return 0;
}

}  // namespace

int usable_processors() {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return threads_within(online > 0 ? static_cast<int>(online) : 0, affinity_processors(), cgroup_cpu_quota(""));
}

}  // namespace atanorg
