// What differs between operating systems, behind one interface shared by
// the program and its companions: the standard descriptors, the broken-pipe
// signal, the terminal the progress line is drawn on and the processors the
// process may use. Each system has one
// file implementing it (platform_posix.cpp here).
#pragma once

#include <cstddef>

namespace atanorg {

// Opens each closed standard descriptor (0, 1, 2) on the null device, so that
// the first files a program opens never take their numbers and receive the
// console text. Called first thing in main, before anything is opened; false
// when one cannot be opened.
bool open_closed_standard_descriptors();

// Writes to a pipe whose reader has gone fail with an error (EPIPE) instead
// of ending the process, so that a run reports it like any other output
// error and keeps what it computed.
void ignore_broken_pipe_signal();

// True when `fd` is a terminal.
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

}  // namespace atanorg
