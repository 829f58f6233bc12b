// What differs between operating systems, behind one interface shared by
// the program and its companions: the standard descriptors, signals and
// console events, the terminal the progress line is drawn on, the safe
// replacement of the result file, reading files for the checker, the
// system's error texts and the processors the process may use. Each system
// implements it in one file per concern, named CONCERN_SYSTEM.cpp
// (console_posix.cpp, result_file_windows.cpp, ...; src/CMakeLists.txt
// picks a system's files; WebAssembly, console_wasm.cpp and the like, takes
// the POSIX files where emscripten's POSIX layer serves). One header for all of them: a caller includes
// one line whatever it uses, and the whole interface reads in one place.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace atanorg {

// ---- standard descriptors, signals, the terminal ---------------------------

// Opens each closed standard descriptor (0, 1, 2) on the null device, so that
// the first files a program opens never take their numbers and receive the
// console text. Called first thing in main, before anything is opened; false
// when one cannot be opened. On Windows it also installs the console event
// handler, so that Ctrl-C ends every program in every phase alike (with
// STATUS_CONTROL_C_EXIT, the temporary result file removed).
bool open_closed_standard_descriptors();

// The command line's arguments after the program's name, in UTF-8 (on
// Windows from the wide command line, whatever the code page).
std::vector<std::string> program_arguments(int argc, char** argv);

// Writes to a pipe whose reader has gone fail with an error (EPIPE) instead
// of ending the process, so that a run reports it like any other output
// error and keeps what it computed.
void ignore_broken_pipe_signal();

// True when `fd` is a terminal (on Windows: a console, never the null device
// or a pipe).
bool is_terminal(int fd);

// True when `fd` is the controlling terminal of this process and the process
// is in its foreground process group: only then may it draw there (a
// background job would draw over the shell's prompt). Async-signal-safe.
bool in_terminal_foreground(int fd);

// The width of the terminal `fd` in columns; 0 when it does not say.
int terminal_columns(int fd);

// Writes all `size` bytes to `fd`, retrying short writes; stops at the first
// error. Async-signal-safe.
void write_fully(int fd, const char* data, std::size_t size);

// Threads this process can really run at once: the smallest of the
// processors online, those its affinity mask allows and the CPU quota of
// its control group (rounded as threads_within in cpu_quota.hpp says).
// At least 1.
int usable_processors();

// Keeps the threads of a computation apart: with as many threads as the
// process's affinity mask holds processors, binds the calling thread to the
// index-th of them, so that the system cannot stack two of them on one
// processor while another serves some other program; with fewer threads
// (a quota, or less work) it leaves the thread free to run anywhere in the
// mask. For threads other than the process's first, which stays free.
void spread_thread(int index, int threads);

// Sleeps while `word` holds `old`; may also return without a change. Wakes
// on wake_waiters. (std::atomic's own wait, where the system has a futex;
// Windows has WaitOnAddress, while the C++ library's fallback there can miss
// a wake-up.)
void wait_for_change(const std::atomic<std::uint32_t>& word, std::uint32_t old);

// Wakes every thread in wait_for_change on `word`.
void wake_waiters(std::atomic<std::uint32_t>& word);

// The system's text for the C library error number `err`.
std::string error_text(int err);

// ---- the result file --------------------------------------------------------
//
// Written under a temporary name beside the final one, its space reserved
// before the computation, and put in place of the final one only when
// complete and flushed to disk, so that a run that fails or is interrupted
// leaves any earlier result exactly as it was. One result file per process.

// Bytes that one "\n" written to a text-mode file takes on disk: 1, or 2
// where the platform stores CR LF (Windows).
int text_line_end_bytes();

// Installs what removes the temporary file when the process is ended from
// outside before the result is committed, and then lets it end as it would
// have: on POSIX, handlers for every signal whose default action ends the
// process, except those ignored on entry (as under nohup), which stay
// ignored, and SIGXFSZ ignored so that writes past a file size limit fail
// with an error; on Windows, a handler of Ctrl-C, Ctrl-Break and the
// console's closing. Once the result file is committed, these no longer end
// the process. `on_interrupt`, if given, runs first in the handler and must
// be async-signal-safe.
void install_result_file_cleanup(void (*on_interrupt)() = nullptr);

// Removes the temporary files that runs which died left for `name`: those
// beside it named as temp_name.hpp says, that are provably a run's own
// (empty or starting with `title_line`, one link, this user's) and that no
// live run holds (on POSIX: locked by none, and named by a run of this host
// whose process is gone). Errors are ignored.
void remove_stale_temp_files(const std::string& name, std::string_view title_line);

// Checks that `name` can be replaced (without opening it for writing, and
// by the rules the final rename would apply: sticky and append-only
// folders), creates the temporary file beside it, held so that no other run
// takes it, writes `title_line` at its start and reserves `size` bytes for
// it where the filesystem can, or `fallback_size` bytes where a file size
// limit or the free space leaves no room for `size`. Returns the stream to
// write the whole file with (from its start, `title_line` included), in
// text mode. On failure returns nullptr and sets `error` to "cannot create
// NAME: reason", or "cannot write NAME: reason" when the space cannot be
// reserved.
std::FILE* open_result_file(const std::string& name, std::int64_t size, std::int64_t fallback_size,
                            std::string_view title_line, std::string& error);

// Flushes the stream from open_result_file, cuts the file to what was
// written, flushes it to disk and puts it in place of the final name, then
// flushes the folder. On failure returns false and sets `error`: before the
// file is in place, to "cannot write NAME: reason" (or the rename's failure
// naming the temporary file), with the temporary file removed or named as
// left behind; after it, to a message that says the new file is in place.
bool commit_result_file(std::string& error);

// Closes the stream and removes the temporary file.
void discard_result_file();

// ---- reading files (the checker) --------------------------------------------

// Opens `path` for reading, in binary mode. With `regular_only`, only a
// regular file (else -1 with errno 0), and without waiting for a FIFO's
// writer. Returns a descriptor, or -1 with errno set.
int open_for_reading(const std::string& path, bool regular_only);

// The size of the regular file open on `fd`; -1 for pipes, devices and
// anything else.
std::int64_t regular_file_size(int fd);

// Reads up to `size` bytes at `offset` without moving the file's offset;
// the count read, 0 at the end, -1 with errno set on error.
long read_at(int fd, char* data, std::size_t size, std::int64_t offset);

// Reads up to `size` bytes, waiting for them however `fd` was opened; the
// count read, 0 at the end, -1 with errno set on error.
long read_some(int fd, char* data, std::size_t size);

// Closes a descriptor from open_for_reading.
void close_descriptor(int fd);

}  // namespace atanorg
