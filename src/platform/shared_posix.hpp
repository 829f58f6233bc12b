// What the POSIX platform files share: the paths of the result file and its
// folder, its symbolic links followed as the kernel would follow them, what
// may replace it, and the owner that its temporary files name.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "platform/temp_name.hpp"

namespace atanorg {

// Where the last path component starts: "results/pi.txt" -> 8, "pi.txt" -> 0.
std::size_t base_start(const std::string& path);

// The directory `path` is in, as a path to open: "results/pi.txt" ->
// "results/", "pi.txt" -> ".".
std::string directory_of(const std::string& path);

// Follows `path` through symbolic links to the file they lead to, which need
// not exist yet: a dangling link names the file to create. A relative link is
// read against the link's own directory. False with errno set when a link
// cannot be read, may not be followed (the kernel's rule for sticky shared
// directories, fs.protected_symlinks: EACCES) or the chain is too long.
bool follow_links(const std::string& path, std::string& target);

bool same_file(const struct stat& a, const struct stat& b);

// Whether the rename that commits the result may put it in place of
// `target` (`file` its status, or nullptr where it does not exist yet),
// by rules the kernel applies only when the rename comes: in a sticky folder
// (/tmp, shared project folders) only root, the folder's owner or the
// file's own may replace a file; in an append-only or immutable folder
// (chattr +a, +i) no name may be replaced or taken away, nor may an
// append-only or immutable file be replaced. False with errno EPERM when
// refused.
bool may_replace(const std::string& target, const struct stat* file);

// This process as the owner its temporary files name: this host's tag and
// its process id.
TempOwner this_run_owner();

}  // namespace atanorg
