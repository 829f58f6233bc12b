// Text, error texts, paths and the delete-on-close mark; see shared_windows.hpp.
#include "platform/shared_windows.hpp"

#include <io.h>

namespace atanorg {

std::wstring wide(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  std::wstring out(MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), static_cast<int>(out.size()));
  return out;
}

std::string utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  std::string out(WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), static_cast<int>(out.size()), nullptr, nullptr);
  return out;
}

std::string system_text(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text != nullptr ? text : L"", length);
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ' ||
                              message.back() == L'.')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(code) : utf8(message);
}

std::string file_error_text(DWORD code) {
  std::string text = system_text(code);
  if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) {
    text += " (another program has the file open: close it and run again)";
  }
  return text;
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

std::wstring full_path(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring out(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, out.data(), nullptr);
  out.resize(length < size ? length : 0);
  return out.empty() ? path : out;
}

std::size_t base_start(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? 0 : slash + 1;
}

bool set_delete_on_close(HANDLE file, bool remove) {
  FILE_DISPOSITION_INFO info{};
  info.DeleteFile = remove ? TRUE : FALSE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof info) != 0;
}

TempOwner this_run_owner() {
  wchar_t host[256] = {};
  DWORD size = sizeof host / sizeof host[0];
  if (!GetComputerNameExW(ComputerNameDnsHostname, host, &size)) size = 0;
  return TempOwner{host_tag(utf8(std::wstring_view(host, size))), GetCurrentProcessId()};
}

}  // namespace atanorg
