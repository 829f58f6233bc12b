// The platform interface on WebAssembly (emscripten). Under Node.js the
// program is the command-line program on the real files (NODERAWFS) and its
// main() runs on a thread of its own (PROXY_TO_PTHREAD), which leaves Node's
// own thread free for the file system calls, which emscripten carries out
// there, and for the signals that Node delivers there. In a page's worker
// the files are in memory and the page takes the result from there.
//
// What differs from POSIX: emscripten has no signals (Node's are caught on
// its thread, below), no real file locks (so no clean-up of dead runs'
// files: it could not tell them from a live run's), no affinity, a umask
// that is a stub (the real one is Node's), and an isatty that is true for
// every stream under Node.
#include <emscripten.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/platform.hpp"
#include "platform/temp_name.hpp"

namespace atanorg {
namespace {

// The result file's state, shared with the interrupt handler that Node runs
// on its own thread (install_result_file_cleanup): whichever of it and the
// commit moves the state first decides the outcome, as on POSIX.
enum RunState : std::int32_t {
  RUNNING,    // an interrupt removes the temporary file and ends the process
  DYING,      // the handler is ending the process
  COMMITTED,  // the file is being renamed or is in place; interrupts change nothing
};
std::atomic<std::int32_t> run_state{RUNNING};
static_assert(sizeof run_state == 4 && std::atomic<std::int32_t>::is_always_lock_free,
              "the handler reads the state as a 32-bit word of the module's memory");
// The temporary file's name, and 1 while it exists: read by the handler.
char temp_path[4096];
std::atomic<std::int32_t> temp_exists{0};

std::FILE* stream = nullptr;
std::string final_name;

// The terminal's width, read when is_terminal first finds standard error
// one, on Node's thread (a later thread of the module cannot ask Node).
std::atomic<int> columns_seen{0};

// Where the last path component starts: "results/pi.txt" -> 8, "pi.txt" -> 0.
std::size_t base_start(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? 0 : slash + 1;
}

// The questions asked of the host are JavaScript, run on Node's thread (or
// the page's worker) by MAIN_THREAD_EM_ASM: ENVIRONMENT_IS_NODE is
// emscripten's own test of the host.

// On Node's thread: SIGINT, SIGTERM and SIGHUP, while the word at `state`
// is RUNNING, remove the temporary file named at `path` (while the word at
// `exists` is 1) and end the process by the same signal, as the POSIX
// handlers do; once the result is committed they change nothing. (Node
// resets signals ignored when it started, so under nohup a hang-up ends
// the run as well.)
void catch_interrupts() {
  MAIN_THREAD_EM_ASM(
      {
        if (!ENVIRONMENT_IS_NODE) return;
        const handler = (signal) => {
          if (Atomics.compareExchange(HEAP32, $0 >> 2, 0, 1) != 0) return;
          if (Atomics.load(HEAP32, $2 >> 2) == 1) {
            try {
              require('fs').unlinkSync(UTF8ToString($1));
            } catch (e) {
            }
          }
          process.removeAllListeners(signal);
          process.kill(process.pid, signal);
        };
        'SIGINT SIGTERM SIGHUP'.split(' ').forEach((signal) => process.on(signal, handler));
      },
      &run_state, temp_path, &temp_exists);
}

}  // namespace

bool open_closed_standard_descriptors() {
  // Node opens the three streams itself, on the null device where they were
  // closed.
  return true;
}

std::vector<std::string> program_arguments(int argc, char** argv) { return {argv + (argc > 0 ? 1 : 0), argv + argc}; }

void ignore_broken_pipe_signal() {
  // No signals: a write to a pipe without a reader fails with an error.
}

bool is_terminal(int fd) {
  // Node's answer: emscripten's isatty says yes for every stream there. No
  // terminal in a page.
  const int columns = MAIN_THREAD_EM_ASM_INT(
      {
        if (!ENVIRONMENT_IS_NODE || !require('tty').isatty($0)) return -1;
        const stream = $0 == 1 ? process.stdout : $0 == 2 ? process.stderr : process.stdin;
        return stream && stream.columns ? stream.columns : 0;
      },
      fd);
  if (columns < 0) return false;
  columns_seen.store(columns);
  return true;
}

bool in_terminal_foreground(int fd) {
  // Node shows no process groups: a terminal counts as the foreground.
  (void)fd;
  return true;
}

int terminal_columns(int) { return columns_seen.load(); }

void write_fully(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

int usable_processors() {
#ifdef __EMSCRIPTEN_PTHREADS__
  // As many as the module started threads for (PTHREAD_POOL_SIZE in
  // cmake/wasm.cmake): the browser's count, or Node's.
  return std::max(1, MAIN_THREAD_EM_ASM_INT({
    if (typeof navigator !== 'undefined' && navigator.hardwareConcurrency) return navigator.hardwareConcurrency;
    return ENVIRONMENT_IS_NODE ? require('os').cpus().length : 1;
  }));
#else
  return 1;  // built without threads: the host has no shared memory
#endif
}

void spread_thread(int, int) {
  // No affinity: the host places the workers.
}

void wait_for_change(const std::atomic<std::uint32_t>& word, std::uint32_t old) {
  word.wait(old, std::memory_order_acquire);
}

void wake_waiters(std::atomic<std::uint32_t>& word) { word.notify_all(); }

std::string error_text(int err) { return std::strerror(err); }

int text_line_end_bytes() { return 1; }

void install_result_file_cleanup(void (*)()) {
  catch_interrupts();
}

void remove_stale_temp_files(const std::string&, std::string_view) {
  // Without real locks a dead run's file cannot be told from a live one's,
  // and taking a live run's would lose its result: files of runs killed
  // outright stay.
}

std::FILE* open_result_file(const std::string& name, std::int64_t size, std::int64_t fallback_size,
                            std::string_view, std::string& error) {
  final_name = name;
  auto fail = [&](int err) {
    error = "cannot create " + name + ": " + error_text(err);
    return nullptr;
  };
  // The new file gets the old one's permission bits, or those a new file
  // gets. Symbolic links are not followed here: the temporary file is made
  // beside the name, and the rename puts the new file in place of the link.
  mode_t mode = 0;
  struct stat st {};
  if (stat(name.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return fail(EISDIR);
    if (!S_ISREG(st.st_mode)) {
      error = "cannot create " + name + ": not a regular file";
      return nullptr;
    }
    const int fd = open(name.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return fail(errno);
    close(fd);
    mode = st.st_mode & 0777;
  } else {
    // Node's mask (emscripten's umask is a stub); in a page, the usual 022.
    mode = 0666 & ~static_cast<mode_t>(MAIN_THREAD_EM_ASM_INT({ return ENVIRONMENT_IS_NODE ? process.umask() : 18; }));
  }

  const std::size_t base = base_start(name);
  const std::string pattern = name.substr(0, base) + "." + name.substr(base) + TEMP_MARKER + "XXXXXX";
  if (pattern.size() >= sizeof temp_path) return fail(ENAMETOOLONG);
  std::memcpy(temp_path, pattern.c_str(), pattern.size() + 1);
  const int fd = mkostemp(temp_path, O_CLOEXEC);
  if (fd < 0) return fail(errno);
  temp_exists.store(1);
  if (fchmod(fd, mode) != 0 || (stream = fdopen(fd, "w")) == nullptr) {
    const int err = errno;
    if (stream == nullptr) close(fd);
    discard_result_file();
    return fail(err);
  }
  // The space of the whole file now where the file system can reserve it,
  // so that a full disk shows before the computation.
  int reserved = size > 0 ? posix_fallocate(fd, 0, size) : 0;
  if (reserved == EFBIG && fallback_size < size) reserved = posix_fallocate(fd, 0, fallback_size);
  if (reserved != 0 && reserved != EOPNOTSUPP && reserved != EINVAL && reserved != ENOSYS) {
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
  if (err == 0) {
    const off_t written = ftello(stream);
    if (written < 0 || ftruncate(fd, written) != 0) err = errno;
  }
  if (err == 0 && fsync(fd) != 0 && errno != EINVAL && errno != ENOSYS) err = errno;
  if (std::fclose(stream) != 0 && err == 0) err = errno;
  stream = nullptr;
  if (err == 0) {
    std::int32_t state = RUNNING;
    if (!run_state.compare_exchange_strong(state, COMMITTED)) {
      // The interrupt handler is ending the process.
      for (;;) pause();
    }
    if (std::rename(temp_path, final_name.c_str()) == 0) {
      temp_exists.store(0);
      return true;
    }
    err = errno;
    run_state.store(RUNNING);
  }
  discard_result_file();
  error = "cannot write " + final_name + ": " + error_text(err);
  return false;
}

void discard_result_file() {
  if (stream != nullptr) {
    std::fclose(stream);
    stream = nullptr;
  }
  if (temp_exists.exchange(0) == 1) unlink(temp_path);
}

}  // namespace atanorg
