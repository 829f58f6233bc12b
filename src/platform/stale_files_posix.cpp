// The clean-up of temporary files that runs killed outright (SIGKILL, a
// power cut) left beside the result file, on Linux and other POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <optional>

#include "platform/platform.hpp"
#include "platform/shared_posix.hpp"
#include "platform/temp_name.hpp"

namespace atanorg {
namespace {

// A file of this user's with one name (a second link is not the run's own):
// only such a file may be a temporary file of this user's runs.
bool is_own_single_file(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

// The temporary file starts with the title line before its space is
// reserved (open_result_file), so one that does not is not a run's.
bool starts_as_a_result(int fd, const struct stat& st, std::string_view title_line) {
  if (st.st_size == 0) return true;
  std::string start(title_line.size(), '\0');
  return pread(fd, start.data(), start.size(), 0) == static_cast<ssize_t>(start.size()) && start == title_line;
}

// Whether process `id` of this host has ended (kill's ESRCH); a process of
// another user lives on (EPERM).
bool process_gone(std::uint32_t id) {
  return id <= static_cast<std::uint32_t>(INT_MAX) && kill(static_cast<pid_t>(id), 0) != 0 && errno == ESRCH;
}

}  // namespace

void remove_stale_temp_files(const std::string& name, std::string_view title_line) {
  std::string target;
  if (!follow_links(name, target)) return;
  std::string prefix(1, '.');
  prefix.append(target, base_start(target)).append(TEMP_MARKER);
  DIR* listing = opendir(directory_of(target).c_str());
  if (listing == nullptr) return;
  const int dir_fd = dirfd(listing);
  const std::uint32_t this_host = this_run_owner().host;
  while (const dirent* entry = readdir(listing)) {
    // Another host's run, or a run whose process lives, may be writing the
    // file: its lock may have failed, and another host's lock may not show
    // here (NFS mounted with nolock).
    const std::optional<TempOwner> owner = temp_name_owner<char>(entry->d_name, prefix);
    if (!owner || owner->host != this_host || !process_gone(owner->process)) continue;
    struct stat named {}, opened {};
    if (fstatat(dir_fd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !is_own_single_file(named)) continue;
    const int fd = openat(dir_fd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    // A live run holds its file locked where it can. The lock taken here is kept until the
    // name is gone, the file checked is the one locked, and the name must
    // still lead to it.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &opened) == 0 && is_own_single_file(opened) &&
        starts_as_a_result(fd, opened, title_line) && fstatat(dir_fd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(opened, named)) {
      unlinkat(dir_fd, entry->d_name, 0);
    }
    close(fd);
  }
  closedir(listing);
}

}  // namespace atanorg
