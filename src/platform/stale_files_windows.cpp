// The clean-up of temporary files that dead runs left beside the result
// file, on 64-bit Windows: only a crash between the commit's last steps,
// or a kill in the moment before the file is marked for deletion, leaves one.
#include "platform/platform.hpp"
#include "platform/shared_windows.hpp"
#include "platform/temp_name.hpp"

namespace atanorg {

void remove_stale_temp_files(const std::string& name, std::string_view title_line) {
  const std::wstring target = full_path(wide(name));
  const std::wstring dir = target.substr(0, base_start(target));
  const std::wstring prefix = L"." + target.substr(base_start(target)) + wide(TEMP_MARKER);
  // The title line as the run's text-mode stream stored it.
  std::string title;
  for (char c : title_line) title += c == '\n' ? std::string("\r\n") : std::string(1, c);
  WIN32_FIND_DATAW entry{};
  const HANDLE listing = FindFirstFileW((dir + prefix + L"*").c_str(), &entry);
  if (listing == INVALID_HANDLE_VALUE) return;
  do {
    constexpr DWORD NOT_A_FILE = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    if (!temp_name_owner<wchar_t>(entry.cFileName, prefix) || (entry.dwFileAttributes & NOT_A_FILE) != 0) continue;
    // A live run's file shares only reading (or is marked for deletion):
    // this open, which shares nothing and asks to delete, fails on it.
    const HANDLE file = CreateFileW((dir + entry.cFileName).c_str(), GENERIC_READ | DELETE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    BY_HANDLE_FILE_INFORMATION info{};
    std::string start(title.size(), '\0');
    DWORD got = 0;
    const bool own = GetFileInformationByHandle(file, &info) && info.nNumberOfLinks == 1 &&
                     (info.dwFileAttributes & NOT_A_FILE) == 0 &&
                     ((info.nFileSizeHigh == 0 && info.nFileSizeLow == 0) ||
                      (ReadFile(file, start.data(), static_cast<DWORD>(start.size()), &got, nullptr) &&
                       got == start.size() && start == title));
    if (own) set_delete_on_close(file, true);
    CloseHandle(file);
  } while (FindNextFileW(listing, &entry));
  FindClose(listing);
}

}  // namespace atanorg
