// windows_helper: what the end-to-end tests of the Windows programs need
// from a Windows process of their own, started under wine64 beside them.
//
//   windows_helper hold PATH
//     Keeps PATH open as an editor or a viewer does (reading, sharing
//     reading and writing but not deletion, so that the file can be neither
//     replaced nor removed meanwhile). Prints "held" once it holds the file
//     and keeps it until standard input ends; status 1 when it cannot open it.
//
//   windows_helper start HANDLES PROGRAM [ARGUMENT...]
//     Starts PROGRAM with the standard handles whose numbers HANDLES lists
//     ("1", "12", "0"; "-" for none) given as none at all, as a Windows
//     parent does that closes them, and the others its own; ends with
//     PROGRAM's exit status. (A descriptor closed by a POSIX parent does not
//     reach a program under Wine as closed: Wine takes the number for its own.)
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

int hold(const wchar_t* path) {
  const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::fputs("held\n", stdout);
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  CloseHandle(file);
  return 0;
}

// An inheritable copy of standard handle `id`, or none when `closed`.
HANDLE given_handle(DWORD id, bool closed) {
  HANDLE copy = nullptr;
  if (!closed) DuplicateHandle(GetCurrentProcess(), GetStdHandle(id), GetCurrentProcess(), &copy, 0, TRUE,
                               DUPLICATE_SAME_ACCESS);
  return copy;
}

int start(const std::wstring& closed, int argc, wchar_t** argv) {
  std::wstring command;
  for (int i = 0; i < argc; ++i) command += (i > 0 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = given_handle(STD_INPUT_HANDLE, closed.find(L'0') != std::wstring::npos);
  startup.hStdOutput = given_handle(STD_OUTPUT_HANDLE, closed.find(L'1') != std::wstring::npos);
  startup.hStdError = given_handle(STD_ERROR_HANDLE, closed.find(L'2') != std::wstring::npos);
  PROCESS_INFORMATION child{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) {
    return 126;
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD status = 126;
  GetExitCodeProcess(child.hProcess, &status);
  return static_cast<int>(status);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"hold" && argc == 3) return hold(argv[2]);
  if (mode == L"start" && argc >= 4) return start(argv[2], argc - 3, argv + 3);
  std::fputs("usage: windows_helper hold PATH | start HANDLES PROGRAM [ARGUMENT...]\n", stderr);
  return 2;
}
