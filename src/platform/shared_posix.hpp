// What the POSIX platform files share (and the WebAssembly ones, whose
// emscripten layer is POSIX): the paths of the result file and its folder,
// its symbolic links followed as the kernel would follow them, what may
// replace it, and the steps of its replacement that do not depend on locks
// or signals.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
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

// Checks that the file at `target` (where `name`'s links lead) may be
// replaced, without opening it for writing, and by the rules of
// may_replace, and gives the new file's permission bits: those of the file
// it replaces, or 0666 less the creation mask for a new one; never set-id
// or sticky bits (the old file may be another user's). False when `target`
// cannot be replaced, with `error` "cannot create NAME: reason".
bool result_file_mode(const std::string& target, const std::string& name, mode_t& mode, std::string& error);

// The first steps of the result file's replacement: `name`'s links
// followed into `target`, the checks and mode of result_file_mode, and the
// temporary file's mkstemp pattern beside `target` (temp_name.hpp's name,
// ending in XXXXXX), shorter than `capacity`. False with `error` "cannot
// create NAME: reason".
bool prepare_result_file(const std::string& name, std::size_t capacity, std::string& target, mode_t& mode,
                         std::string& pattern, std::string& error);

// Reserves `size` bytes for the file open on `fd`, or `fallback_size` where
// a file size limit (EFBIG) or the free space (ENOSPC) leaves room for no
// more, so that a full disk shows before the computation; a file system
// that cannot reserve (EOPNOTSUPP, EINVAL) gives the space as the file is
// written. False with `error` "cannot write NAME: reason".
bool reserve_space(int fd, std::int64_t size, std::int64_t fallback_size, const std::string& name,
                   std::string& error);

// Closes `stream` where it is open and removes the temporary file `temp`
// where it `exists`; 0, or the error that keeps the file where it is.
int close_and_remove_temp(std::FILE*& stream, const char* temp, bool exists);

// The message of a commit that failed before the file was put in place:
// `message`, and where the temporary file `temp` is left when its removal
// failed with `kept` (0: it is removed).
std::string commit_failure(const std::string& message, const std::string& temp, int kept);

// The messages of a commit that fails: the temporary file `temp` of the
// result `name` taken by another program, its rename failed with `err`,
// the folder's sync after the rename failed with `err`.
std::string temp_file_lost(const std::string& name, const std::string& temp);
std::string rename_failed(const std::string& name, const std::string& temp, int err);
std::string folder_not_synced(const std::string& name, int err);

// Flushes `stream`, cuts its file to what was written (the reservation may
// be longer), syncs it to disk and closes it; `stream` becomes null. 0 or
// the first error number.
int finish_result_stream(std::FILE*& stream);

// What each system answers for the steps above, defined in its result file
// (result_file_posix.cpp, result_file_wasm.cpp: under Node.js emscripten's
// own calls give no user, umask, access rights, sync or host, and Node is
// asked instead).

// The user whose rights the rename is checked against.
uid_t effective_user();

// The creation mask (umask) of this process.
mode_t creation_mask();

// 0 when this process may write the file at `path`, else the error
// (EACCES, EROFS, ...), learnt without opening the file: an open for
// writing, even one that writes nothing, tells whoever watches the file
// (inotify's IN_CLOSE_WRITE: build tools, sync clients) that it changed.
int write_access(const std::string& path);

// Whether the file or folder at `path` is append-only or immutable
// (chattr +a, +i); false where the system cannot tell, which leaves it to
// the rename.
bool fixed_in_place(const std::string& path);

// Flushes the file open on `fd` to disk; 0 or the error.
int sync_to_disk(int fd);

// This process as the owner its temporary files name: this host's tag and
// its process id.
TempOwner this_run_owner();

}  // namespace atanorg
