// The platform interface on 64-bit Windows (built with MinGW-w64).
//
// Every path goes through the wide-character API, converted from and to
// UTF-8, so that folders and names outside the ANSI code page work. Error
// texts are the system's (FormatMessage), in UTF-8, without the final
// period and line end.
//
// The result file: a temporary file beside the final one, created new with
// read sharing only (the share mode is the lock: no other run can open it to
// remove it) and at once marked for deletion on close, so that however the
// process ends before the commit, killed included, the system removes it
// when its handle goes. The mark is the file's disposition rather than
// FILE_FLAG_DELETE_ON_CLOSE, which versions before Windows 10 1709 cannot
// take back: there the renamed file would go at its close.
// Its space is reserved before the computation where the filesystem can
// (FileAllocationInfo). The commit flushes it to disk, clears delete-on-close
// and renames it by its handle over the final name, replacing it: an earlier
// file is either untouched or wholly replaced. Ctrl-C, Ctrl-Break and the
// console's closing come to a handler on a thread of their own; it and the
// commit agree through one atomic state, as the signal handlers on POSIX do:
// a handler that moves it first ends the process with STATUS_CONTROL_C_EXIT
// (the status Ctrl-C gives a program without a handler), and the temporary
// file goes with the handle; a commit that moves it first puts the file in
// place, and every event after that leaves the run's outcome alone.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>
#include <random>

#include "platform/cpu_quota.hpp"
#include "platform/platform.hpp"
#include "platform/temp_name.hpp"

namespace atanorg {
namespace {

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

// The system's text for a Windows error code.
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

// The system's text, and for a file another program holds open, what to do.
std::string file_error_text(DWORD code) {
  std::string text = system_text(code);
  if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) {
    text += " (another program has the file open: close it and run again)";
  }
  return text;
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

enum RunState : int {
  RUNNING,    // a console event removes the temporary file and ends the process
  DYING,      // a handler is ending the process; later events change nothing
  COMMITTED,  // the file is being put in place or is there; events change nothing
};
std::atomic<int> run_state{RUNNING};
// Set once the commit has ended, either way: a closing console ends the
// process as soon as its handler returns, so the handler waits for this.
std::atomic<bool> commit_ended{false};
void (*interrupt_hook)() = nullptr;

std::FILE* stream = nullptr;
HANDLE temp_handle = INVALID_HANDLE_VALUE;  // owned by `stream` once it exists
std::string final_name;                     // as given, for messages
std::wstring target_path;                   // full path of the file replaced

// The C runtime's default of 512 bytes would take a system call per six rows.
constexpr std::size_t STREAM_BUFFER = 1 << 16;

BOOL WINAPI on_console_event(DWORD event) {
  int state = RUNNING;
  if (run_state.compare_exchange_strong(state, DYING)) {
    if (interrupt_hook) interrupt_hook();
    // No atexit work and no stream flushing while the other threads run:
    // the system closes the handles, and the temporary file goes with its.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  }
  if (state == COMMITTED && event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
    while (!commit_ended.load()) Sleep(10);
  }
  return TRUE;
}

// Marks the file to be removed when its last handle closes, or clears the mark.
bool set_delete_on_close(HANDLE file, bool remove) {
  FILE_DISPOSITION_INFO info{};
  info.DeleteFile = remove ? TRUE : FALSE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof info) != 0;
}

bool rename_over(HANDLE file, const std::wstring& target) {
  const std::size_t bytes = target.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + bytes + sizeof(wchar_t), 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(bytes);
  std::memcpy(info->FileName, target.data(), bytes);
  return SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size())) != 0;
}

std::wstring full_path(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring out(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, out.data(), nullptr);
  out.resize(length < size ? length : 0);
  return out.empty() ? path : out;
}

// The path of the file `file` is, symbolic links resolved.
std::wstring final_path_of(HANDLE file, const std::wstring& fallback) {
  const DWORD size = GetFinalPathNameByHandleW(file, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (size == 0) return fallback;
  std::wstring out(size, L'\0');
  const DWORD length = GetFinalPathNameByHandleW(file, out.data(), size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= size) return fallback;
  out.resize(length);
  return out;
}

std::size_t base_start(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? 0 : slash + 1;
}

// Six letters or digits, as mkstemp's.
std::wstring random_suffix() {
  static constexpr wchar_t LETTERS[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, sizeof LETTERS / sizeof LETTERS[0] - 2);
  std::wstring suffix;
  for (std::size_t i = 0; i < TEMP_SUFFIX_LENGTH; ++i) suffix += LETTERS[pick(generator)];
  return suffix;
}

}  // namespace

// ---- standard descriptors, signals, the terminal ---------------------------

bool open_closed_standard_descriptors() {
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

namespace {

// The processors of the process's affinity mask, where it lies in one
// processor group (a process on a machine of more than 64 processors may
// span several, and then the mask of one says nothing of the others).
DWORD_PTR single_group_mask() {
  USHORT groups[4];
  USHORT count = 4;
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessGroupAffinity(GetCurrentProcess(), &count, groups) || count != 1) return 0;
  return GetProcessAffinityMask(GetCurrentProcess(), &process, &system) ? process : 0;
}

}  // namespace

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

void wait_for_change(const std::atomic<std::uint32_t>& word, std::uint32_t old) {
  WaitOnAddress(const_cast<std::atomic<std::uint32_t>*>(&word), &old, sizeof old, INFINITE);
  std::atomic_thread_fence(std::memory_order_acquire);
}

void wake_waiters(std::atomic<std::uint32_t>& word) { WakeByAddressAll(&word); }

int usable_processors() {
  const int online = static_cast<int>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
  const int affinity = std::popcount(static_cast<std::uint64_t>(single_group_mask()));
  // A job object's hard cap on CPU time, in hundredths of a percent of all
  // the processors: the counterpart of a control group's quota.
  double quota = 0;
  JOBOBJECT_CPU_RATE_CONTROL_INFORMATION rate{};
  if (QueryInformationJobObject(nullptr, JobObjectCpuRateControlInformation, &rate, sizeof rate, nullptr) &&
      (rate.ControlFlags & JOB_OBJECT_CPU_RATE_CONTROL_ENABLE) != 0 &&
      (rate.ControlFlags & JOB_OBJECT_CPU_RATE_CONTROL_HARD_CAP) != 0) {
    quota = rate.CpuRate / 10000.0 * online;
  }
  return threads_within(online, affinity, quota);
}

void spread_thread(int index, int threads) {
  const DWORD_PTR mask = single_group_mask();
  if (mask == 0) return;
  if (threads != std::popcount(static_cast<std::uint64_t>(mask))) {
    SetThreadAffinityMask(GetCurrentThread(), mask);
    return;
  }
  for (int cpu = 0; cpu < 64; ++cpu) {
    const DWORD_PTR bit = DWORD_PTR{1} << cpu;
    if ((mask & bit) != 0 && index-- == 0) {
      SetThreadAffinityMask(GetCurrentThread(), bit);
      return;
    }
  }
}

std::string error_text(int err) { return std::strerror(err); }

// ---- the result file --------------------------------------------------------

int text_line_end_bytes() { return 2; }

void install_result_file_cleanup(void (*on_interrupt)()) {
  interrupt_hook = on_interrupt;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

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
    if (!is_temp_name<wchar_t>(entry.cFileName, prefix) || (entry.dwFileAttributes & NOT_A_FILE) != 0) continue;
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

std::FILE* open_result_file(const std::string& name, std::int64_t size, std::int64_t /*fallback_size*/,
                            std::string_view /*title_line*/, std::string& error) {
  // The title line needs no early write here: the file is empty until the
  // stream writes its header, and no run's file outlives its run but for a
  // crash between the commit's last two steps.
  final_name = name;
  const auto fail = [&](DWORD code) {
    error = "cannot create " + name + ": " + file_error_text(code);
    return nullptr;
  };
  target_path = full_path(wide(name));
  const DWORD attributes = GetFileAttributesW(target_path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      error = "cannot create " + name + ": " + error_text(EISDIR);
      return nullptr;
    }
    // Opened, without changing it, only to learn that it may be replaced
    // (not read-only, not held open by a program that keeps others from
    // removing it) and where a symbolic link leads.
    const HANDLE old = CreateFileW(target_path.c_str(), FILE_WRITE_DATA | DELETE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (old == INVALID_HANDLE_VALUE) return fail(GetLastError());
    target_path = final_path_of(old, target_path);
    CloseHandle(old);
  }

  const std::size_t base = base_start(target_path);
  const std::wstring stem = target_path.substr(0, base) + L"." + target_path.substr(base) + wide(TEMP_MARKER);
  std::wstring temp_path;
  for (int attempt = 0; attempt < TEMP_FILE_TRIES && temp_handle == INVALID_HANDLE_VALUE; ++attempt) {
    temp_path.assign(stem).append(random_suffix());
    temp_handle = CreateFileW(temp_path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (temp_handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return fail(GetLastError());
  }
  if (temp_handle == INVALID_HANDLE_VALUE) return fail(ERROR_FILE_EXISTS);
  // Killed before this, the run leaves an empty file, which the next run's
  // clean-up removes.
  if (!set_delete_on_close(temp_handle, true)) {
    const DWORD code = GetLastError();
    CloseHandle(temp_handle);
    temp_handle = INVALID_HANDLE_VALUE;
    DeleteFileW(temp_path.c_str());
    return fail(code);
  }

  // The whole file's space now, so that a full disk shows before the
  // computation rather than after it. A filesystem (or Wine) that cannot
  // reserve gives the space as the file is written.
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = size;
  if (size > 0 && !SetFileInformationByHandle(temp_handle, FileAllocationInfo, &allocation, sizeof allocation)) {
    const DWORD code = GetLastError();
    if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL) {
      discard_result_file();
      error = "cannot write " + name + ": " + system_text(code);
      return nullptr;
    }
  }

  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(temp_handle), _O_WRONLY | _O_TEXT);
  if (fd < 0 || (stream = _fdopen(fd, "wt")) == nullptr || std::setvbuf(stream, nullptr, _IOFBF, STREAM_BUFFER) != 0) {
    const int err = errno;
    if (stream == nullptr && fd >= 0) {
      _close(fd);  // closes the handle, and the file goes
      temp_handle = INVALID_HANDLE_VALUE;
    }
    discard_result_file();
    error = "cannot create " + name + ": " + error_text(err);
    return nullptr;
  }
  return stream;
}

bool commit_result_file(std::string& error) {
  int err = 0;
  DWORD code = 0;
  bool replaced = false;
  if (std::fflush(stream) != 0 || std::ferror(stream)) err = errno != 0 ? errno : EIO;
  // The reservation may exceed what was written (the time line's width),
  // and the flushed stream's position is the end of what was.
  LARGE_INTEGER here{}, written{};
  if (err == 0 && (!SetFilePointerEx(temp_handle, here, &written, FILE_CURRENT) || !SetEndOfFile(temp_handle) ||
                   !FlushFileBuffers(temp_handle))) {
    code = GetLastError();
  }
  if (err == 0 && code == 0) {
    int state = RUNNING;
    if (!run_state.compare_exchange_strong(state, COMMITTED)) {
      // A handler on another thread is ending the process.
      for (;;) Sleep(INFINITE);
    }
    if (!set_delete_on_close(temp_handle, false)) {
      code = GetLastError();
    } else if (rename_over(temp_handle, target_path)) {
      replaced = true;
    } else {
      code = GetLastError();
      set_delete_on_close(temp_handle, true);
    }
    if (!replaced) run_state.store(RUNNING);
  }
  if (replaced) {
    std::fclose(stream);
    stream = nullptr;
    temp_handle = INVALID_HANDLE_VALUE;
    commit_ended.store(true);
    return true;
  }
  discard_result_file();
  error = "cannot write " + final_name + ": " + (err != 0 ? error_text(err) : system_text(code));
  if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
    error += " (another program may have it open; the earlier file is unchanged)";
  }
  commit_ended.store(true);
  return false;
}

void discard_result_file() {
  if (temp_handle != INVALID_HANDLE_VALUE) set_delete_on_close(temp_handle, true);
  if (stream != nullptr) {
    std::fclose(stream);  // and its handle
  } else if (temp_handle != INVALID_HANDLE_VALUE) {
    CloseHandle(temp_handle);
  }
  stream = nullptr;
  temp_handle = INVALID_HANDLE_VALUE;
}

// ---- reading files (the checker) --------------------------------------------

int open_for_reading(const std::string& path, bool regular_only) {
  struct _stat64 st {};
  if (regular_only && (_wstat64(wide(path).c_str(), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG)) {
    errno = 0;
    return -1;
  }
  return _wopen(wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

std::int64_t regular_file_size(int fd) {
  struct _stat64 st {};
  return _fstat64(fd, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG ? st.st_size : -1;
}

long read_at(int fd, char* data, std::size_t size, std::int64_t offset) {
  const std::int64_t was = _lseeki64(fd, 0, SEEK_CUR);
  if (was < 0 || _lseeki64(fd, offset, SEEK_SET) < 0) return -1;
  const int n = _read(fd, data, static_cast<unsigned>(size < INT_MAX ? size : INT_MAX));
  const int saved = errno;
  _lseeki64(fd, was, SEEK_SET);
  errno = saved;
  return n;
}

long read_some(int fd, char* data, std::size_t size) {
  return _read(fd, data, static_cast<unsigned>(size < INT_MAX ? size : INT_MAX));
}

void close_descriptor(int fd) { _close(fd); }

}  // namespace atanorg
