// Reading files for the checker on 64-bit Windows: binary mode, paths
// through the wide-character API.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform/platform.hpp"
#include "platform/shared_windows.hpp"

namespace atanorg {

int open_for_reading(const std::string& path, bool regular_only) {
  struct _stat64 st {};
  if (regular_only && (_wstat64(wide(path).c_str(), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG)) {
    errno = 0;
    return -1;
  }
  return _wopen(wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

std::int64_t regular_file_size(int fd) {
  struct _stat64 st {};
  return _fstat64(fd, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG ? st.st_size : -1;
}

long read_at(int fd, char* data, std::size_t size, std::int64_t offset) {
  const std::int64_t was = _lseeki64(fd, 0, SEEK_CUR);
  if (was < 0 || _lseeki64(fd, offset, SEEK_SET) < 0) return -1;
  const int n = _read(fd, data, static_cast<unsigned>(size < INT_MAX ? size : INT_MAX));
  const int saved = errno;
  _lseeki64(fd, was, SEEK_SET);
  errno = saved;
  return n;
}

long read_some(int fd, char* data, std::size_t size) {
  return _read(fd, data, static_cast<unsigned>(size < INT_MAX ? size : INT_MAX));
}

void close_descriptor(int fd) { _close(fd); }

}  // namespace atanorg
