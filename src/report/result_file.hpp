// The result file's life on disk: written under a temporary name beside the
// final one, its space reserved before the computation, and renamed over it
// only when complete, flushed and synced, so that a run that fails or is
// interrupted leaves any earlier result exactly as it was. Each run holds a
// lock on its temporary file, so that later runs can tell the temporary files
// of runs that died (removed) from those still being written (kept). One
// result file per process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace atanorg {

// Installs the handlers that remove the temporary file when a signal ends
// the process and then end it by the same signal: every signal whose default
// action ends the process, except those ignored on entry (as under nohup),
// which stay ignored. SIGXFSZ is ignored so that writes past a file size
// limit fail with an error instead of killing the process. Once the result
// file is committed, signals sent to the process no longer end it.
// `on_interrupt`, if given, runs in the handler and must be async-signal-safe.
void install_result_file_cleanup(void (*on_interrupt)() = nullptr);

// Removes the temporary files that runs which died left for `name` (followed
// through symbolic links): those beside it named "." + its name +
// ".atanpi-" and six letters or digits that are provably a run's own: a
// regular file with one link, owned by this user, empty or starting with the
// result's title line, and held locked by no live run. Errors are ignored.
void remove_stale_temp_files(const std::string& name);

// Checks that `name` can be replaced, creates and locks the temporary file
// beside it (beside the file a symbolic link leads to), writes the title
// line at its start and reserves `size` bytes for it where the filesystem
// can, or `fallback_size` bytes where a file size limit leaves no room for
// `size`. A symbolic link in a sticky directory that others may write (as
// /tmp) is followed only when it belongs to this user or to the directory's
// owner, as the kernel's fs.protected_symlinks has it. On failure returns
// nullptr and sets `error` to "cannot create NAME: reason", or "cannot write
// NAME: reason" when the space cannot be reserved.
std::FILE* open_result_file(const std::string& name, std::int64_t size, std::int64_t fallback_size,
                            std::string& error);

// Flushes the stream from open_result_file, cuts the file to what was
// written, syncs and closes it, renames it over the final name (a symbolic
// link's target; the link stays) and syncs the directory. On failure removes
// the temporary file, returns false and sets `error` to "cannot write NAME:
// reason"; when only the directory cannot be synced, the new file is in
// place and `error` says so.
bool commit_result_file(std::string& error);

// Closes the stream and removes the temporary file.
void discard_result_file();

}  // namespace atanorg
