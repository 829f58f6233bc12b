// The platform interface on Linux and other POSIX systems.
//
// The result file: temporary file, lock, reservation, atomic rename and
// clean-up on signals. A signal's handler may run in any thread of the
// process (the engine's workers included), so the handler and the commit
// agree through one atomic state: whichever of them moves it first decides
// the outcome. A handler that wins removes the temporary file and ends the
// process by its signal; a commit that wins renames the file into place, and
// every signal after that leaves the run's outcome alone.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include "platform/cpu_quota.hpp"
#include "platform/platform.hpp"
#include "platform/temp_name.hpp"

namespace atanorg {
namespace {

enum RunState : int {
  RUNNING,    // a signal removes the temporary file and ends the process
  DYING,      // a handler is ending the process; later handlers return at once
  COMMITTED,  // the file is being renamed or is in place; signals change nothing
};
std::atomic<int> run_state{RUNNING};
static_assert(std::atomic<int>::is_always_lock_free, "the state is used in signal handlers");

// Read by the signal handler: the temporary file's name and whether it exists.
char temp_path[4096];
std::atomic<bool> temp_exists{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read in signal handlers");
void (*interrupt_hook)() = nullptr;

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

// A kernel limit, mirrored: symbolic links followed before giving up (ELOOP).
constexpr int MAX_LINKS = 40;

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
  int state = RUNNING;
  if (run_state.compare_exchange_strong(state, DYING)) {
    if (temp_exists.load()) unlink(temp_path);
    if (interrupt_hook) interrupt_hook();
  } else if (state == DYING || !is_fault_signal(sig) || info->si_code <= 0) {
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

// Where the last path component starts: "results/pi.txt" -> 8, "pi.txt" -> 0.
std::size_t base_start(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? 0 : slash + 1;
}

// The directory `path` is in, as a path to open: "results/pi.txt" ->
// "results/", "pi.txt" -> ".".
std::string directory_of(const std::string& path) {
  const std::size_t base = base_start(path);
  return base == 0 ? "." : path.substr(0, base);
}

// The kernel's rule for symbolic links in sticky world-writable directories
// such as /tmp (fs.protected_symlinks), applied here because the links are
// resolved here and the kernel never sees them followed: such a link is
// followed only when it belongs to whoever follows it or to the directory's
// owner. Otherwise anyone could plant a link there and have another user's
// run replace a file of theirs. False with errno EACCES when refused.
bool may_follow(const std::string& link_path, const struct stat& link) {
  struct stat dir {};
  if (stat(directory_of(link_path).c_str(), &dir) != 0) return false;
  constexpr mode_t SHARED = S_ISVTX | S_IWOTH;
  if ((dir.st_mode & SHARED) != SHARED || link.st_uid == geteuid() || link.st_uid == dir.st_uid) return true;
  errno = EACCES;
  return false;
}

// Follows `path` through symbolic links to the file they lead to, which need
// not exist yet: a dangling link names the file to create. A relative link is
// read against the link's own directory. False with errno set when a link
// cannot be read, may not be followed (may_follow) or the chain is too long.
bool follow_links(const std::string& path, std::string& target) {
  target = path;
  for (int links = 0;; ++links) {
    struct stat st {};
    if (lstat(target.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISLNK(st.st_mode)) return true;
    if (links == MAX_LINKS) {
      errno = ELOOP;
      return false;
    }
    if (!may_follow(target, st)) return false;
    char text[PATH_MAX];
    const ssize_t length = readlink(target.c_str(), text, sizeof text);
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) == sizeof text) {
      errno = ENAMETOOLONG;
      return false;
    }
    const std::string link(text, static_cast<std::size_t>(length));
    target = link[0] == '/' ? link : target.substr(0, base_start(target)) + link;
  }
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

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
    // Where the filesystem has no locks, the clean-up cannot lock either and
    // removes nothing, so the file is safe without one.
    (void)flock(fd, LOCK_EX);
    struct stat opened {}, named {};
    if (fstat(fd, &opened) == 0 && lstat(temp_path, &named) == 0 && same_file(opened, named)) return fd;
    SignalBlock block;
    temp_exists.store(false);
    close(fd);
  }
  errno = EEXIST;
  return -1;
}

// A file of this user's with one name (a second link is not the run's own):
// only such a file may be a temporary file of this user's runs.
bool is_own_single_file(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

// The temporary file starts with the title line before its space is
// reserved (open_result_file), so one that does not is not a run's.
bool starts_as_a_result(int fd, const struct stat& st, std::string_view title_line) {
  if (st.st_size == 0) return true;
  std::string start(title_line.size(), '\0');
  return pread(fd, start.data(), start.size(), 0) == static_cast<ssize_t>(start.size()) && start == title_line;
}

}  // namespace

bool open_closed_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is fd itself: those below it are open.
    if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) return false;
  }
  return true;
}

void ignore_broken_pipe_signal() { signal(SIGPIPE, SIG_IGN); }

bool is_terminal(int fd) { return isatty(fd) == 1; }

bool in_terminal_foreground(int fd) {
  const pid_t foreground = tcgetpgrp(fd);
  return foreground != -1 && foreground == getpgrp();
}

int terminal_columns(int fd) {
  struct winsize size {};
  return ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

void write_fully(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

std::vector<std::string> program_arguments(int argc, char** argv) { return {argv + (argc > 0 ? 1 : 0), argv + argc}; }

std::string error_text(int err) { return std::strerror(err); }

int text_line_end_bytes() { return 1; }

int open_for_reading(const std::string& path, bool regular_only) {
  struct stat st {};
  if (regular_only && (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))) {
    errno = 0;
    return -1;
  }
  // O_NONBLOCK: should the file have become a FIFO since, the open does not
  // wait for a writer (read_some waits when its turn comes).
  return open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | (regular_only ? O_NONBLOCK : 0));
}

std::int64_t regular_file_size(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
}

long read_at(int fd, char* data, std::size_t size, std::int64_t offset) {
  for (;;) {
    const ssize_t n = pread(fd, data, size, static_cast<off_t>(offset));
    if (n >= 0 || errno != EINTR) return n;
  }
}

long read_some(int fd, char* data, std::size_t size) {
  for (;;) {
    const ssize_t n = read(fd, data, size);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Opened without waiting (a file that became a FIFO): from now on the
      // reads wait. Cleared here, on the first read that would wait, rather
      // than with a system call before every read.
      const int flags = fcntl(fd, F_GETFL);
      if (flags == -1 || (flags & O_NONBLOCK) == 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) return -1;
    } else if (errno != EINTR) {
      return -1;
    }
  }
}

void close_descriptor(int fd) { close(fd); }

void install_result_file_cleanup(void (*on_interrupt)()) {
  interrupt_hook = on_interrupt;
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

void remove_stale_temp_files(const std::string& name, std::string_view title_line) {
  std::string target;
  if (!follow_links(name, target)) return;
  std::string prefix(1, '.');
  prefix.append(target, base_start(target)).append(TEMP_MARKER);
  DIR* listing = opendir(directory_of(target).c_str());
  if (listing == nullptr) return;
  const int dir_fd = dirfd(listing);
  while (const dirent* entry = readdir(listing)) {
    if (!is_temp_name<char>(entry->d_name, prefix)) continue;
    struct stat named {}, opened {};
    if (fstatat(dir_fd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !is_own_single_file(named)) continue;
    const int fd = openat(dir_fd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    // A live run holds its file locked. The lock taken here is kept until the
    // name is gone, the file checked is the one locked, and the name must
    // still lead to it.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &opened) == 0 && is_own_single_file(opened) &&
        starts_as_a_result(fd, opened, title_line) && fstatat(dir_fd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(opened, named)) {
      unlinkat(dir_fd, entry->d_name, 0);
    }
    close(fd);
  }
  closedir(listing);
}

std::FILE* open_result_file(const std::string& name, std::int64_t size, std::int64_t fallback_size,
                            std::string_view title_line, std::string& error) {
  final_name = name;
  auto fail = [&](int err) {
    error = "cannot create " + name + ": " + error_text(err);
    return nullptr;
  };
  if (!follow_links(name, target_path)) return fail(errno);

  // The new file gets the old one's permission bits, or those a new file
  // gets. Never its set-id or sticky bits: the old file may belong to
  // another user, the new one belongs to whoever runs the program.
  mode_t mode = 0;
  struct stat st {};
  if (stat(target_path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return fail(EISDIR);
    if (!S_ISREG(st.st_mode)) {
      error = "cannot create " + name + ": not a regular file";
      return nullptr;
    }
    // Opened without truncation only to learn whether we may replace it.
    const int fd = open(target_path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return fail(errno);
    close(fd);
    mode = st.st_mode & 0777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }

  const std::size_t base = base_start(target_path);
  const std::string pattern = target_path.substr(0, base) + "." + target_path.substr(base) + TEMP_MARKER + "XXXXXX";
  if (pattern.size() >= sizeof temp_path) return fail(ENAMETOOLONG);
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
  // computation rather than after it. Under a file size limit that only
  // `fallback_size` fits, that much. Filesystems that cannot reserve
  // (EOPNOTSUPP, EINVAL) get the space as the file is written.
  int reserved = size > 0 ? posix_fallocate(fd, 0, size) : 0;
  if (reserved == EFBIG && fallback_size < size) reserved = posix_fallocate(fd, 0, fallback_size);
  if (reserved != 0 && reserved != EOPNOTSUPP && reserved != EINVAL) {
    discard_result_file();
    error = "cannot write " + name + ": " + error_text(reserved);
    return nullptr;
  }
  return stream;
}

bool commit_result_file(std::string& error) {
  int err = 0;
  const int fd = fileno(stream);
  if (std::fflush(stream) != 0 || std::ferror(stream)) err = errno ? errno : EIO;
  // The reservation may exceed what was written (the time line's width).
  if (err == 0) {
    const off_t written = ftello(stream);
    if (written < 0 || ftruncate(fd, written) != 0) err = errno;
  }
  if (err == 0 && fsync(fd) != 0) err = errno;
  if (std::fclose(stream) != 0 && err == 0) err = errno;
  stream = nullptr;
  if (err == 0) {
    SignalBlock block;
    int state = RUNNING;
    if (!run_state.compare_exchange_strong(state, COMMITTED)) {
      // A handler in another thread is ending the process by its signal.
      for (;;) pause();
    }
    if (std::rename(temp_path, target_path.c_str()) == 0) {
      temp_exists.store(false);
      close(lock_fd);
      lock_fd = -1;
      block.keep();
      // The new name reaches the disk with the directory. Where the
      // directory cannot be opened (write and search permission only) or
      // synced (EINVAL, EROFS: a filesystem without it), it goes as the
      // system writes it back.
      const int dir_fd = open(directory_of(target_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir_fd < 0) return true;
      const int synced = fsync(dir_fd) == 0 ? 0 : errno;
      close(dir_fd);
      if (synced == 0 || synced == EINVAL || synced == EROFS) return true;
      error = "cannot sync the directory of " + final_name + ": " + error_text(synced) + " (the new file is in place)";
      return false;
    }
    err = errno;
    run_state.store(RUNNING);
  }
  discard_result_file();
  error = "cannot write " + final_name + ": " + error_text(err);
  return false;
}

void discard_result_file() {
  SignalBlock block;
  if (stream != nullptr) {
    std::fclose(stream);
    stream = nullptr;
  }
  if (temp_exists.load()) {
    unlink(temp_path);
    temp_exists.store(false);
  }
  if (lock_fd >= 0) {
    close(lock_fd);
    lock_fd = -1;
  }
}

void wait_for_change(const std::atomic<std::uint32_t>& word, std::uint32_t old) {
  word.wait(old, std::memory_order_acquire);
}

void wake_waiters(std::atomic<std::uint32_t>& word) { word.notify_all(); }

namespace {

// An affinity mask, grown until it holds every processor the kernel knows.
class AffinityMask {
 public:
  // The mask of thread `tid` (0: the calling thread); empty if unreadable.
  explicit AffinityMask(pid_t tid) {
    for (int size = 1024; size <= (1 << 20); size *= 2) {
      set_ = CPU_ALLOC(size);
      if (set_ == nullptr) return;
      bytes_ = CPU_ALLOC_SIZE(size);
      if (sched_getaffinity(tid, bytes_, set_) == 0) return;
      CPU_FREE(set_);
      set_ = nullptr;
      if (errno != EINVAL) return;
    }
  }
  ~AffinityMask() {
    if (set_ != nullptr) CPU_FREE(set_);
  }
  AffinityMask(const AffinityMask&) = delete;
  AffinityMask& operator=(const AffinityMask&) = delete;

  int count() const { return set_ != nullptr ? CPU_COUNT_S(bytes_, set_) : 0; }
  // Binds the calling thread to the mask, or to its index-th processor.
  void bind_all() const {
    if (set_ != nullptr) sched_setaffinity(0, bytes_, set_);
  }
  void bind_one(int index) const {
    const int size = static_cast<int>(bytes_ * 8);
    for (int cpu = 0; set_ != nullptr && cpu < size; ++cpu) {
      if (CPU_ISSET_S(cpu, bytes_, set_) && index-- == 0) {
        cpu_set_t* one = CPU_ALLOC(size);
        if (one == nullptr) return;
        CPU_ZERO_S(bytes_, one);
        CPU_SET_S(cpu, bytes_, one);
        sched_setaffinity(0, bytes_, one);
        CPU_FREE(one);
        return;
      }
    }
  }

 private:
  cpu_set_t* set_ = nullptr;
  std::size_t bytes_ = 0;
};

}  // namespace

int usable_processors() {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return threads_within(online > 0 ? static_cast<int>(online) : 0, AffinityMask(0).count(), cgroup_cpu_quota(""));
}

void spread_thread(int index, int threads) {
  // The first thread's mask is the process's: that thread is never bound.
  const AffinityMask process(getpid());
  if (threads == process.count()) {
    process.bind_one(index);
  } else {
    process.bind_all();
  }
}

}  // namespace atanorg
