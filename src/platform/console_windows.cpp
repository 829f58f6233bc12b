// The standard handles, the console, the command line and the C library's
// error texts on 64-bit Windows (built with MinGW-w64).
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/platform.hpp"
#include "platform/shared_windows.hpp"

namespace atanorg {

bool open_closed_standard_descriptors() {
  // Ctrl-C ends the program alike in every phase, from its first line on:
  // with STATUS_CONTROL_C_EXIT, as a program without a handler ends.
  install_console_event_handler();
  static constexpr DWORD STD_IDS[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  std::FILE* const streams[] = {stdin, stdout, stderr};
  for (int fd = 0; fd <= 2; ++fd) {
    // No handle at all (-1, or -2: none given at start), or one that is no
    // file of any type.
    const intptr_t handle = _get_osfhandle(fd);
    SetLastError(NO_ERROR);
    if (handle != -1 && handle != -2 &&
        (GetFileType(reinterpret_cast<HANDLE>(handle)) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR)) {
      continue;
    }
    const int nul = _wopen(L"NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
    if (nul < 0) return false;
    if (nul != fd) {
      const bool moved = _dup2(nul, fd) == 0;
      _close(nul);
      if (!moved) return false;
    }
    // The C runtime (msvcrt) leaves the stream of a handle missing at start
    // without a descriptor (-2), and freopen cannot reopen such a stream: it
    // is given the standard descriptor, now open on NUL.
    streams[fd]->_file = fd;
    SetStdHandle(STD_IDS[fd], handle_of(fd));
  }
  return true;
}

std::vector<std::string> program_arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (args == nullptr) return {argv + (argc > 0 ? 1 : 0), argv + argc};
  std::vector<std::string> out;
  for (int i = 1; i < count; ++i) out.push_back(utf8(args[i]));
  LocalFree(args);
  return out;
}

// Windows has no SIGPIPE: a write to a pipe without a reader fails.
void ignore_broken_pipe_signal() {}

bool is_terminal(int fd) {
  DWORD mode = 0;
  return GetConsoleMode(handle_of(fd), &mode) != 0;
}

// A console has no background jobs.
bool in_terminal_foreground(int fd) { return is_terminal(fd); }

int terminal_columns(int fd) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(handle_of(fd), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

void write_fully(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const int n = _write(fd, data, static_cast<unsigned>(size < INT_MAX ? size : INT_MAX));
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

std::string error_text(int err) { return std::strerror(err); }

}  // namespace atanorg
