// The result file's life on disk: written under a temporary name beside the
// final one and renamed over it only when complete, flushed and synced, so
// that a run that fails or is interrupted leaves any earlier result exactly
// as it was. One result file per process.
#pragma once

#include <cstdio>
#include <string>

namespace atanpi {

// Installs the handlers that remove the temporary file when the process is
// interrupted or terminated (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE) and
// then end it by the same signal, and ignores SIGXFSZ so that writes past a
// file size limit fail with an error instead of killing the process.
// `on_interrupt`, if given, runs in the handler and must be async-signal-safe.
void install_result_file_cleanup(void (*on_interrupt)() = nullptr);

// Checks that `name` can be replaced and creates the temporary file for it.
// On failure returns nullptr and sets `error` to "cannot create NAME: reason".
std::FILE* open_result_file(const std::string& name, std::string& error);

// Flushes, syncs and closes the stream from open_result_file and renames the
// temporary file over the final name. On failure removes the temporary file,
// returns false and sets `error` to "cannot write NAME: reason".
bool commit_result_file(std::string& error);

// Closes the stream and removes the temporary file.
void discard_result_file();

}  // namespace atanpi
