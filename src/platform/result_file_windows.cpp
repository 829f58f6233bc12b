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
std::wstring temp_path;                     // full path of the temporary file

// Which file a name led to, to tell whether another run or program put a
// file in its place meanwhile.
struct FileIdentity {
  bool exists = false;
  DWORD volume = 0, index_high = 0, index_low = 0;
  FILETIME written{};
};
FileIdentity earlier;  // the file in place when the run began

// Replacing a file fails while any program has it open, even one that
// shares everything with others, as another run's start-up check or commit
// does for a moment, and the start-up check fails while the file is being
// put in place by another run: both are tried for about a second.
constexpr int BUSY_TRIES = 50;
constexpr DWORD BUSY_PAUSE_MS = 20;

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

FileIdentity identity_of(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return {};
  return {true, info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow, info.ftLastWriteTime};
}

bool same_identity(const FileIdentity& a, const FileIdentity& b) {
  return a.exists == b.exists && (!a.exists || (a.volume == b.volume && a.index_high == b.index_high &&
                                                a.index_low == b.index_low &&
                                                CompareFileTime(&a.written, &b.written) == 0));
}

// Opens `path` for its attributes and, with `remove`, the right to remove
// it: a handle that changes nothing, shares everything, and that a program
// holding the file open without sharing its removal refuses.
HANDLE open_to_look(const std::wstring& path, bool remove) {
  return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | (remove ? DELETE : 0),
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Whether the file at the final name is no longer the one there when the
// run began.
bool replaced_meanwhile() {
  const HANDLE now = open_to_look(target_path, false);
  FileIdentity current;
  if (now != INVALID_HANDLE_VALUE) {
    current = identity_of(now);
    CloseHandle(now);
  }
  return !same_identity(current, earlier);
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

// Reserves `size` bytes for the temporary file; false with the error set.
bool reserve(std::int64_t size) {
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = size;
  return SetFileInformationByHandle(temp_handle, FileAllocationInfo, &allocation, sizeof allocation) != 0;
}

bool disk_full(DWORD code) { return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL; }

}  // namespace

int text_line_end_bytes() { return 2; }

void install_console_event_handler() { SetConsoleCtrlHandler(on_console_event, TRUE); }

// The handler itself is installed as the program starts
// (open_closed_standard_descriptors), so that Ctrl-C ends every phase alike.
void install_result_file_cleanup(void (*on_interrupt)()) { run_state::interrupt_hook.store(on_interrupt); }

std::FILE* open_result_file(const std::string& name, std::int64_t size, std::int64_t fallback_size,
                            std::string_view /*title_line*/, std::string& error) {
  // The title line needs no early write here: the file is empty until the
  // stream writes its header, and a run's file outlives its run only when it
  // is killed right after the file's creation (the file is then empty) or
  // while the commit has the deletion mark cleared.
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
    // Opened without write access, only to learn that it may be replaced
    // (removing it allowed, not held open by a program that keeps others
    // from removing it), where a symbolic link leads and which file it is;
    // closed at once, since any handle on it keeps another run from
    // replacing it. Nothing opened for writing: file watchers see no change.
    HANDLE old = open_to_look(target_path, true);
    for (int attempt = 1; old == INVALID_HANDLE_VALUE && attempt < BUSY_TRIES; ++attempt) {
      if (GetLastError() != ERROR_SHARING_VIOLATION) break;
      Sleep(BUSY_PAUSE_MS);
      old = open_to_look(target_path, true);
    }
    if (old == INVALID_HANDLE_VALUE) return fail(GetLastError());
    target_path = final_path_of(old, target_path);
    BY_HANDLE_FILE_INFORMATION info{};
    const bool read_only = GetFileInformationByHandle(old, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY);
    earlier = identity_of(old);
    CloseHandle(old);
    // Windows replaces no read-only file.
    if (read_only) return fail(ERROR_ACCESS_DENIED);
  }

  const std::size_t base = base_start(target_path);
  const std::wstring stem = target_path.substr(0, base) + L"." + target_path.substr(base) + wide(TEMP_MARKER) +
                            wide(temp_owner_text(this_run_owner()));
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
  // computation rather than after it; on a disk with room for
  // `fallback_size` only, that much. A filesystem (or Wine) that cannot
  // reserve gives the space as the file is written.
  if (size > 0 && !reserve(size)) {
    DWORD code = GetLastError();
    if (disk_full(code) && fallback_size < size && reserve(fallback_size)) code = 0;
    if (disk_full(code)) {
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
  bool left = false;  // the temporary file stays after the run
  if (std::fflush(stream) != 0 || std::ferror(stream)) err = errno != 0 ? errno : EIO;
  // The reservation may exceed what was written (the time line's width),
  // and the flushed stream's position is the end of what was.
  LARGE_INTEGER here{}, written{};
  if (err == 0 && (!SetFilePointerEx(temp_handle, here, &written, FILE_CURRENT) || !SetEndOfFile(temp_handle) ||
                   !FlushFileBuffers(temp_handle))) {
    code = GetLastError();
  }
  for (int attempt = 1; err == 0 && code == 0; ++attempt) {
    if (!run_state::begin_commit()) {
      // A handler on another thread is ending the process.
      for (;;) Sleep(INFINITE);
    }
    if (!set_delete_on_close(temp_handle, false)) {
      code = GetLastError();
    } else if (rename_over(temp_handle, target_path)) {
      replaced = true;
      break;
    } else {
      code = GetLastError();
      // Should the mark not come back, the file would outlive the run.
      if (!set_delete_on_close(temp_handle, true)) left = true;
    }
    run_state::commit_failed();
    if ((code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION) || attempt == BUSY_TRIES || left) break;
    code = 0;
    Sleep(BUSY_PAUSE_MS);
  }
  if (replaced) {
    // Closed at once: the handle on the new file keeps other runs from
    // replacing it.
    std::fclose(stream);
    stream = nullptr;
    temp_handle = INVALID_HANDLE_VALUE;
    commit_ended.store(true);
    return true;
  }
  discard_result_file();
  error = "cannot write " + final_name + ": " + (err != 0 ? error_text(err) : system_text(code));
  if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
    error += replaced_meanwhile()
                 ? " (another program may have it open; another run or program has replaced it since this run began)"
                 : " (another program may have it open; the earlier file is unchanged)";
  }
  if (left) error += "; the temporary file " + utf8(temp_path) + " is left behind";
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
