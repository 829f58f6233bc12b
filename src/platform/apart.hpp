// Work run apart, where a failure ends the work and not the program: on
// POSIX systems in a child process (fork), which hands the text the work
// makes back through a pipe; on Windows, which has no fork, in this
// process. atanpi-verify computes pi so: GMP aborts when memory runs out
// (ulimit -v), and the checker goes on with the files it can check. One
// file per system: apart_posix.cpp, apart_windows.cpp.
#pragma once

#include <string>

namespace atanorg {

// The exit status with which work run apart ends its process when memory
// runs out where no exception can report it (GMP's allocation functions).
inline constexpr int APART_OUT_OF_MEMORY = 75;

enum class ApartEnd {
  done,           // `text` holds what the work made
  out_of_memory,  // std::bad_alloc, or APART_OUT_OF_MEMORY
  failed,         // any other end: a signal, another exit status
};

// Runs work(context), and puts the text it returns in `text`; for `failed`,
// `why` says how the work ended ("Segmentation fault", "exit status 3").
// Where no process can be started (no processes left to this user), or on
// Windows, the work runs in this process, and a failure there that throws
// no std::bad_alloc ends the program. Not while other threads run.
ApartEnd run_apart(std::string (*work)(void*), void* context, std::string& text, std::string& why);

// True in the process that run_apart started for the work, which then ends
// with _Exit(APART_OUT_OF_MEMORY) when memory runs out.
bool running_apart();

}  // namespace atanorg
