// Paths of the result file and its folder, and the steps of its
// replacement that every POSIX system takes alike; see shared_posix.hpp.
#include "platform/shared_posix.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "platform/platform.hpp"

namespace atanorg {
namespace {

// A kernel limit, mirrored: symbolic links followed before giving up (ELOOP).
constexpr int MAX_LINKS = 40;

// The kernel's rule for symbolic links in sticky world-writable directories
// such as /tmp (fs.protected_symlinks), applied here because the links are
// resolved here and the kernel never sees them followed: such a link is
// followed only when it belongs to whoever follows it or to the directory's
// owner. Otherwise anyone could plant a link there and have another user's
// run replace a file of theirs. False with errno EACCES when refused.
bool may_follow(const std::string& link_path, const struct stat& link) {
  struct stat dir {};
  if (stat(directory_of(link_path).c_str(), &dir) != 0) return false;
  constexpr mode_t SHARED = S_ISVTX | S_IWOTH;
  if ((dir.st_mode & SHARED) != SHARED || link.st_uid == effective_user() || link.st_uid == dir.st_uid) return true;
  errno = EACCES;
  return false;
}

}  // namespace

std::size_t base_start(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? 0 : slash + 1;
}

std::string directory_of(const std::string& path) {
  const std::size_t base = base_start(path);
  return base == 0 ? "." : path.substr(0, base);
}

bool follow_links(const std::string& path, std::string& target) {
  target = path;
  for (int links = 0;; ++links) {
    struct stat st {};
    if (lstat(target.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISLNK(st.st_mode)) return true;
    if (links == MAX_LINKS) {
      errno = ELOOP;
      return false;
    }
    if (!may_follow(target, st)) return false;
    char text[PATH_MAX];
    const ssize_t length = readlink(target.c_str(), text, sizeof text);
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) == sizeof text) {
      errno = ENAMETOOLONG;
      return false;
    }
    const std::string link(text, static_cast<std::size_t>(length));
    target = link[0] == '/' ? link : target.substr(0, base_start(target)) + link;
  }
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool may_replace(const std::string& target, const struct stat* file) {
  const std::string folder = directory_of(target);
  struct stat dir {};
  const uid_t user = effective_user();
  const bool sticky = file != nullptr && stat(folder.c_str(), &dir) == 0 && (dir.st_mode & S_ISVTX) != 0 &&
                      user != 0 && file->st_uid != user && dir.st_uid != user;
  if (sticky || fixed_in_place(folder) || (file != nullptr && fixed_in_place(target))) {
    errno = EPERM;
    return false;
  }
  return true;
}

bool result_file_mode(const std::string& target, const std::string& name, mode_t& mode, std::string& error) {
  const auto fail = [&](int err) {
    error = "cannot create " + name + ": " + error_text(err);
    return false;
  };
  struct stat st {};
  const bool exists = stat(target.c_str(), &st) == 0;
  if (exists) {
    if (S_ISDIR(st.st_mode)) return fail(EISDIR);
    if (!S_ISREG(st.st_mode)) {
      error = "cannot create " + name + ": not a regular file";
      return false;
    }
    if (const int err = write_access(target); err != 0) return fail(err);
    mode = st.st_mode & 0777;
  } else {
    mode = 0666 & ~creation_mask();
  }
  // What the rename would refuse after the computation is refused now.
  if (!may_replace(target, exists ? &st : nullptr)) return fail(errno);
  return true;
}

bool prepare_result_file(const std::string& name, std::size_t capacity, std::string& target, mode_t& mode,
                         std::string& pattern, std::string& error) {
  if (!follow_links(name, target)) {
    error = "cannot create " + name + ": " + error_text(errno);
    return false;
  }
  if (!result_file_mode(target, name, mode, error)) return false;
  const std::size_t base = base_start(target);
  pattern = target.substr(0, base) + "." + target.substr(base) + TEMP_MARKER + temp_owner_text(this_run_owner()) +
            "XXXXXX";
  if (pattern.size() < capacity) return true;
  error = "cannot create " + name + ": " + error_text(ENAMETOOLONG);
  return false;
}

int close_and_remove_temp(std::FILE*& stream, const char* temp, bool exists) {
  if (stream != nullptr) {
    std::fclose(stream);
    stream = nullptr;
  }
  return exists && unlink(temp) != 0 && errno != ENOENT ? errno : 0;
}

std::string commit_failure(const std::string& message, const std::string& temp, int kept) {
  if (kept == 0) return message;
  return message + "; the temporary file " + temp + " is left behind: " + error_text(kept);
}

std::string temp_file_lost(const std::string& name, const std::string& temp) {
  return "cannot write " + name + ": its temporary file " + temp + " was removed or replaced by another program";
}

std::string rename_failed(const std::string& name, const std::string& temp, int err) {
  return "cannot rename " + temp + " to " + name + ": " + error_text(err);
}

std::string folder_not_synced(const std::string& name, int err) {
  return "cannot sync the directory of " + name + ": " + error_text(err) +
         " (the new file is in place but may not be on disk yet)";
}

bool reserve_space(int fd, std::int64_t size, std::int64_t fallback_size, const std::string& name,
                   std::string& error) {
  int reserved = size > 0 ? posix_fallocate(fd, 0, size) : 0;
  if ((reserved == EFBIG || reserved == ENOSPC) && fallback_size < size) {
    reserved = posix_fallocate(fd, 0, fallback_size);
  }
  if (reserved == 0 || reserved == EOPNOTSUPP || reserved == EINVAL) return true;
  error = "cannot write " + name + ": " + error_text(reserved);
  return false;
}

int finish_result_stream(std::FILE*& stream) {
  int err = 0;
  const int fd = fileno(stream);
  if (std::fflush(stream) != 0 || std::ferror(stream)) err = errno ? errno : EIO;
  if (err == 0) {
    const off_t written = ftello(stream);
    if (written < 0 || ftruncate(fd, written) != 0) err = errno;
  }
  if (err == 0) err = sync_to_disk(fd);
  if (std::fclose(stream) != 0 && err == 0) err = errno;
  stream = nullptr;
  return err;
}

}  // namespace atanorg
