// Reading files for the checker on Linux and other POSIX systems: regular
// files by offset, FIFOs and devices as they come.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.hpp"

namespace atanorg {

int open_for_reading(const std::string& path, bool regular_only) {
  struct stat st {};
  if (regular_only && (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))) {
    errno = 0;
    return -1;
  }
  // O_NONBLOCK: should the file have become a FIFO since, the open does not
  // wait for a writer (read_some waits when its turn comes).
  return open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | (regular_only ? O_NONBLOCK : 0));
}

std::int64_t regular_file_size(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
}

long read_at(int fd, char* data, std::size_t size, std::int64_t offset) {
  for (;;) {
    const ssize_t n = pread(fd, data, size, static_cast<off_t>(offset));
    if (n >= 0 || errno != EINTR) return n;
  }
}

long read_some(int fd, char* data, std::size_t size) {
  for (;;) {
    const ssize_t n = read(fd, data, size);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Opened without waiting (a file that became a FIFO): from now on the
      // reads wait. Cleared here, on the first read that would wait, rather
      // than with a system call before every read.
      const int flags = fcntl(fd, F_GETFL);
      if (flags == -1 || (flags & O_NONBLOCK) == 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) return -1;
    } else if (errno != EINTR) {
      return -1;
    }
  }
}

void close_descriptor(int fd) { close(fd); }

}  // namespace atanorg
