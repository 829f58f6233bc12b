// What the POSIX platform files share: the paths of the result file and its
// folder, and its symbolic links followed as the kernel would follow them.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

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

}  // namespace atanorg
