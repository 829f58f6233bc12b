// What the POSIX platform files share (and the WebAssembly ones, whose
// emscripten layer is POSIX): the paths of the result file and its folder,
// its symbolic links followed as the kernel would follow them, and the steps
// of its replacement that do not depend on locks or signals.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
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

// The permission bits of the new result file: those of the file at
// `target` that it replaces, or 0666 less `mask` for a new one; never
// set-id or sticky bits (the old file may be another user's). False when
// `target` cannot be replaced, with `error` "cannot create NAME: reason".
bool result_file_mode(const std::string& target, const std::string& name, mode_t mask, mode_t& mode,
                      std::string& error);

// Reserves `size` bytes for the file open on `fd`, or `fallback_size` where
// a file size limit leaves no room for `size`, so that a full disk shows
// before the computation. 0, also where the file system cannot reserve
// (it gets the space as the file is written), or the error number.
int reserve_space(int fd, std::int64_t size, std::int64_t fallback_size);

// Flushes `stream`, cuts its file to what was written (the reservation may
// be longer), syncs it to disk and closes it; `stream` becomes null. 0 or
// the first error number.
int finish_result_stream(std::FILE*& stream);

}  // namespace atanorg
