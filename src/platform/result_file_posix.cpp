// The result file's safe replacement on Linux and other POSIX systems: the
// temporary file beside the final one, its lock and reserved space, the
// atomic rename, and the signal handlers that remove the temporary file
// when the process is ended from outside before the commit. A signal's
// handler may run in any thread of the process (the engine's workers
// included); it and the commit agree through run_state.hpp. Also the
// system's answers that the steps shared with WebAssembly ask for (the user,
// the umask, access rights, attributes, sync, the host: shared_posix.hpp).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>

#include "platform/platform.hpp"
#include "platform/run_state.hpp"
#include "platform/shared_posix.hpp"
#include "platform/temp_name.hpp"

namespace atanorg {
namespace {

// Read by the signal handler: the temporary file's name and whether it exists.
char temp_path[4096];
std::atomic<bool> temp_exists{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read in signal handlers");

std::FILE* stream = nullptr;
// A second descriptor of the temporary file: its lock lasts until the file is
// renamed or removed, past the stream's fclose.
int lock_fd = -1;
std::string final_name;   // as given, for messages
std::string target_path;  // the file replaced: final_name, or where its links lead

// Signals whose default action ends the process and that come from outside
// the program's own instructions; the real-time signals are added at run
// time. SIGXFSZ and SIGPIPE are left out: they are ignored, so that a write
// past a file size limit or to a pipe without a reader fails with an error.
constexpr int OUTSIDE_SIGNALS[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};
// Signals raised by a faulty instruction or by abort(). Sent by another
// process (kill) they count as outside signals; raised by the processor after
// the commit they still end the process, since returning would only repeat
// the fault.
constexpr int FAULT_SIGNALS[] = {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS};

bool is_fault_signal(int sig) {
  for (int fault : FAULT_SIGNALS) {
    if (sig == fault) return true;
  }
  return false;
}

sigset_t outside_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : OUTSIDE_SIGNALS) sigaddset(&set, sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&set, sig);
  return set;
}

extern "C" void end_by_signal(int sig, siginfo_t* info, void*) {
  int seen = run_state::RUNNING;
  if (run_state::interrupt_ends_run(seen)) {
    if (temp_exists.load()) unlink(temp_path);
    if (void (*hook)() = run_state::interrupt_hook.load()) hook();
  } else if (seen == run_state::DYING || !is_fault_signal(sig) || info->si_code <= 0) {
    // Another handler is ending the process, or the result is committed and
    // the signal came from outside (si_code <= 0: kill, sigqueue, tgkill).
    return;
  }
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigaction(sig, &default_action, nullptr);
  std::raise(sig);  // delivered when the handler returns
}

// Blocks the outside signals in this thread while the temporary file changes
// state, so that the handler never sees a half-made change here. No other
// thread exists while the file is created; the engine's workers, which stay
// after the computation, are kept off the commit by run_state, and at worst
// remove an already removed name again when a failed run discards its file.
class SignalBlock {
 public:
  SignalBlock() {
    const sigset_t set = outside_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, &saved_);
  }
  ~SignalBlock() {
    if (!kept_) pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  // Leaves the signals blocked for the rest of the process.
  void keep() { kept_ = true; }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t saved_;
  bool kept_ = false;
};

// Closes a temporary file this run made and will not use, and removes it
// where its name still leads to it (another run's clean-up may have taken
// the name meanwhile).
void give_up_temp(int fd) {
  SignalBlock block;
  struct stat opened {}, named {};
  if (fstat(fd, &opened) == 0 && lstat(temp_path, &named) == 0 && same_file(opened, named)) unlink(temp_path);
  temp_exists.store(false);
  close(fd);
}

// Errors of flock that say that the filesystem has no locks at all, rather
// than that this lock failed: the run goes on without one, and the clean-up,
// which cannot lock there either, removes nothing there.
bool locks_unsupported(int err) { return err == EOPNOTSUPP || err == ENOTSUP || err == ENOSYS || err == EINVAL; }

// Creates the temporary file from `pattern` (ending in XXXXXX) and locks it.
// Another run's clean-up may take the file between its creation and the
// lock; the lock protects the file only once its name still leads to it, so
// otherwise a new one is made. Returns the descriptor, or -1 with errno set.
int create_locked_temp(const std::string& pattern) {
  for (int attempt = 0; attempt < TEMP_FILE_TRIES; ++attempt) {
    int fd = -1;
    {
      SignalBlock block;
      std::memcpy(temp_path, pattern.c_str(), pattern.size() + 1);
      fd = mkostemp(temp_path, O_CLOEXEC);
      if (fd >= 0) temp_exists.store(true);
    }
    if (fd < 0) return -1;
    int locked = 0;
    while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked != 0 && !locks_unsupported(errno)) {
      const int err = errno;
      give_up_temp(fd);
      errno = err;
      return -1;
    }
    struct stat opened {}, named {};
    if (fstat(fd, &opened) == 0 && lstat(temp_path, &named) == 0 && same_file(opened, named)) return fd;
    give_up_temp(fd);
  }
  errno = EEXIST;
  return -1;
}

// Closes the stream and the lock and removes the temporary file; returns 0,
// or the error that keeps the file where it is.
int discard() {
  SignalBlock block;
  const int kept = close_and_remove_temp(stream, temp_path, temp_exists.load());
  temp_exists.store(false);
  if (lock_fd >= 0) {
    close(lock_fd);
    lock_fd = -1;
  }
  return kept;
}

// Ends a commit that failed before the file was put in place: the temporary
// file is removed, or the message says where it is left.
bool fail_commit(const std::string& message, std::string& error) {
  error = commit_failure(message, temp_path, discard());
  return false;
}

// Whether the temporary name still leads to the file this run wrote:
// another program may have removed it, or put another file in its place,
// which the rename would then put in place of the result.
bool temp_still_ours() {
  struct stat opened {}, named {};
  return fstat(lock_fd, &opened) == 0 && lstat(temp_path, &named) == 0 && same_file(opened, named);
}

// Syncs the folder that holds the result's new name; 0, or the error. A
// folder that this user may write but not read (mode -wx) cannot be opened:
// the whole filesystem is synced then, the file's among it.
int sync_folder() {
  const int dir_fd = open(directory_of(target_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) {
    if (errno != EACCES) return errno;
    return syncfs(lock_fd) == 0 ? 0 : errno;
  }
  const int err = fsync(dir_fd) == 0 ? 0 : errno;
  close(dir_fd);
  // A filesystem that cannot sync a folder (EINVAL, EROFS) has no more to do.
  return err == EINVAL || err == EROFS ? 0 : err;
}

}  // namespace

uid_t effective_user() { return geteuid(); }

mode_t creation_mask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

int write_access(const std::string& path) {
  return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
}

bool fixed_in_place(const std::string& path) {
  // A system without statx cannot tell.
  struct statx attributes {};
  constexpr std::uint64_t FIXED = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;
  return statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, 0, &attributes) == 0 &&
         (attributes.stx_attributes & attributes.stx_attributes_mask & FIXED) != 0;
}

int sync_to_disk(int fd) { return fsync(fd) == 0 ? 0 : errno; }

TempOwner this_run_owner() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return TempOwner{host_tag(host), static_cast<std::uint32_t>(getpid())};
}

int text_line_end_bytes() { return 1; }

void install_result_file_cleanup(void (*on_interrupt)()) {
  run_state::interrupt_hook.store(on_interrupt);
  struct sigaction action {};
  action.sa_sigaction = end_by_signal;
  // SA_RESTART: after the commit a handler returns, and the system calls it
  // interrupted go on.
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  const auto install = [&](int sig) {
    // Only where the default action is in force: a signal ignored on entry
    // (nohup, trap '' INT) stays ignored, and a sanitizer's handler stays.
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && (old.sa_flags & SA_SIGINFO) == 0 && old.sa_handler == SIG_DFL) {
      sigaction(sig, &action, nullptr);
    }
  };
  for (int sig : OUTSIDE_SIGNALS) install(sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) install(sig);
  for (int sig : FAULT_SIGNALS) install(sig);
  std::signal(SIGXFSZ, SIG_IGN);
}

std::FILE* open_result_file(const std::string& name, std::int64_t size, std::int64_t fallback_size,
                            std::string_view title_line, std::string& error) {
  final_name = name;
  auto fail = [&](int err) {
    error = "cannot create " + name + ": " + error_text(err);
    return nullptr;
  };
  mode_t mode = 0;
  std::string pattern;
  if (!prepare_result_file(name, sizeof temp_path, target_path, mode, pattern, error)) return nullptr;
  const int fd = create_locked_temp(pattern);
  if (fd < 0) return fail(errno);
  lock_fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (lock_fd < 0 || fchmod(fd, mode) != 0 || (stream = fdopen(fd, "w")) == nullptr) {
    const int err = errno;
    if (stream == nullptr) close(fd);
    discard_result_file();
    return fail(err);
  }
  // The title first, so that the file is known as a run's (see
  // remove_stale_temp_files) before its space is reserved, which fills it
  // with zero bytes. It is written at the offset the stream starts from, so
  // the stream writes the same bytes over it.
  const auto title = static_cast<ssize_t>(title_line.size());
  errno = 0;
  if (pwrite(fd, title_line.data(), title_line.size(), 0) != title) {
    const int err = errno != 0 ? errno : EIO;
    discard_result_file();
    error = "cannot write " + name + ": " + error_text(err);
    return nullptr;
  }
  // The whole file's space now, so that a full disk shows before the
  // computation rather than after it.
  if (!reserve_space(fd, size, fallback_size, name, error)) {
    discard_result_file();
    return nullptr;
  }
  return stream;
}

bool commit_result_file(std::string& error) {
  int err = finish_result_stream(stream);
  if (err != 0) return fail_commit("cannot write " + final_name + ": " + error_text(err), error);
  if (!temp_still_ours()) {
    temp_exists.store(false);  // whatever has the name now is not this run's to remove
    return fail_commit(temp_file_lost(final_name, temp_path), error);
  }

  SignalBlock block;
  if (!run_state::begin_commit()) {
    // A handler in another thread is ending the process by its signal.
    for (;;) pause();
  }
  if (std::rename(temp_path, target_path.c_str()) != 0) {
    err = errno;
    run_state::commit_failed();
    return fail_commit(rename_failed(final_name, temp_path, err), error);
  }
  temp_exists.store(false);
  block.keep();
  // The new name reaches the disk with the folder.
  const int synced = sync_folder();
  close(lock_fd);
  lock_fd = -1;
  if (synced == 0) return true;
  error = folder_not_synced(final_name, synced);
  return false;
}

void discard_result_file() { discard(); }

}  // namespace atanorg
