// Paths of the result file and its folder; see shared_posix.hpp.
#include "platform/shared_posix.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

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
  if ((dir.st_mode & SHARED) != SHARED || link.st_uid == geteuid() || link.st_uid == dir.st_uid) return true;
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
  // Attributes that keep a name from being removed or replaced. A system
  // that cannot tell (no statx) leaves it to the rename.
  const auto fixed = [](const std::string& path) {
    struct statx attributes {};
    constexpr std::uint64_t FIXED = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;
    return statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, 0, &attributes) == 0 &&
           (attributes.stx_attributes & attributes.stx_attributes_mask & FIXED) != 0;
  };
  const std::string folder = directory_of(target);
  struct stat dir {};
  const uid_t user = geteuid();
  const bool sticky = file != nullptr && stat(folder.c_str(), &dir) == 0 && (dir.st_mode & S_ISVTX) != 0 &&
                      user != 0 && file->st_uid != user && dir.st_uid != user;
  if (sticky || fixed(folder) || (file != nullptr && fixed(target))) {
    errno = EPERM;
    return false;
  }
  return true;
}

TempOwner this_run_owner() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return TempOwner{host_tag(host), static_cast<std::uint32_t>(getpid())};
}

}  // namespace atanorg
