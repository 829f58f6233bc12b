// What the Windows platform files share: text between UTF-8 and the
// wide-character API, the system's error texts, paths, a file's
// delete-on-close mark, the owner temporary files name, and the console
// event handler. Every path goes through the wide-character API, so
// that folders and names outside the ANSI code page work.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/temp_name.hpp"

namespace atanorg {

std::wstring wide(std::string_view text);
std::string utf8(std::wstring_view text);

// The system's text for a Windows error code (FormatMessage), in UTF-8,
// without the final period and line end.
std::string system_text(DWORD code);

// The system's text, and for a file another program holds open, what to do.
std::string file_error_text(DWORD code);

HANDLE handle_of(int fd);

// `path` made absolute against the current folder.
std::wstring full_path(const std::wstring& path);

// Where the last path component starts, after the last '\' or '/'.
std::size_t base_start(const std::wstring& path);

// Marks the file to be removed when its last handle closes, or clears the mark.
bool set_delete_on_close(HANDLE file, bool remove);

// This process as the owner its temporary files name: this computer's tag
// and its process id.
TempOwner this_run_owner();

// Installs the handler of Ctrl-C, Ctrl-Break and the console's closing
// (result_file_windows.cpp): before the commit it ends the process with
// STATUS_CONTROL_C_EXIT, the temporary file removed with its handle.
void install_console_event_handler();

}  // namespace atanorg
