// The result file's safe replacement on 64-bit Windows: a temporary file
// beside the final one, created new with read sharing only (the share mode
// is the lock: no other run can open it to remove it) and at once marked for
// deletion on close, so that however the process ends before the commit,
// killed included, the system removes it when its handle goes. The mark is
// the file's disposition rather than FILE_FLAG_DELETE_ON_CLOSE, which
// versions before Windows 10 1709 cannot take back: there the renamed file
// would go at its close.
// Its space is reserved before the computation where the filesystem can
// (FileAllocationInfo). The commit flushes it to disk, clears delete-on-close
// and renames it by its handle over the final name, replacing it: an earlier
// file is either untouched or wholly replaced. Ctrl-C, Ctrl-Break and the
// console's closing come to a handler on a thread of their own; it and the
// commit agree through run_state.hpp: a handler that wins ends the process
// with STATUS_CONTROL_C_EXIT (the status Ctrl-C gives a program without a
// handler), and the temporary file goes with the handle.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include "platform/platform.hpp"
#include "platform/run_state.hpp"
#include "platform/shared_windows.hpp"
#include "platform/temp_name.hpp"

namespace atanorg {
namespace {

// Set once the commit has ended, either way: a closing console ends the
// process as soon as its handler returns, so the handler waits for this.
std::atomic<bool> commit_ended{false};

std::FILE* stream = nullptr;
HANDLE temp_handle = INVALID_HANDLE_VALUE;  // owned by `stream` once it exists
std::string final_name;                     // as given, for messages
std::wstring target_path;                   // full path of the file replaced

// The C runtime's default of 512 bytes would take a system call per six rows.
constexpr std::size_t STREAM_BUFFER = 1 << 16;

BOOL WINAPI on_console_event(DWORD event) {
  int seen = run_state::RUNNING;
  if (run_state::interrupt_ends_run(seen)) {
    if (void (*hook)() = run_state::interrupt_hook.load()) hook();
    // No atexit work and no stream flushing while the other threads run:
    // the system closes the handles, and the temporary file goes with its.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  }
  if (seen == run_state::COMMITTED && event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
    while (!commit_ended.load()) Sleep(10);
  }
  return TRUE;
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

int text_line_end_bytes() { return 2; }

void install_result_file_cleanup(void (*on_interrupt)()) {
  run_state::interrupt_hook.store(on_interrupt);
  SetConsoleCtrlHandler(on_console_event, TRUE);
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
    if (!run_state::begin_commit()) {
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
    if (!replaced) run_state::commit_failed();
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

}  // namespace atanorg
