// Temporary file, atomic rename and clean-up on signals.
#include "report/result_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace atanpi {
namespace {

// Read by the signal handler: the temporary file's name and whether it exists.
char temp_path[4096];
volatile std::sig_atomic_t temp_exists = 0;
void (*interrupt_hook)() = nullptr;

std::FILE* stream = nullptr;
std::string final_name;

constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

extern "C" void remove_temp_and_reraise(int sig) {
  if (temp_exists) unlink(temp_path);
  if (interrupt_hook) interrupt_hook();
  std::signal(sig, SIG_DFL);
  std::raise(sig);  // delivered when the handler returns
}

// Blocks the clean-up signals while the temporary file changes state, so
// that the handler never sees a half-made change.
class SignalBlock {
 public:
  SignalBlock() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : CLEANUP_SIGNALS) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &saved_);
  }
  ~SignalBlock() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t saved_;
};

std::string reason(int err) { return std::strerror(err); }

}  // namespace

void install_result_file_cleanup(void (*on_interrupt)()) {
  interrupt_hook = on_interrupt;
  struct sigaction action {};
  action.sa_handler = remove_temp_and_reraise;
  sigemptyset(&action.sa_mask);
  for (int sig : CLEANUP_SIGNALS) sigaction(sig, &action, nullptr);
  std::signal(SIGXFSZ, SIG_IGN);
}

std::FILE* open_result_file(const std::string& name, std::string& error) {
  final_name = name;
  auto fail = [&](int err) {
    error = "cannot create " + name + ": " + reason(err);
    return nullptr;
  };

  // The new file gets the old one's permissions, or those a new file gets.
  mode_t mode = 0;
  struct stat st {};
  if (stat(name.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return fail(EISDIR);
    if (!S_ISREG(st.st_mode)) {
      error = "cannot create " + name + ": not a regular file";
      return nullptr;
    }
    // Opened without truncation only to learn whether we may replace it.
    const int fd = open(name.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return fail(errno);
    close(fd);
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }

  const std::string pattern = "." + name + ".XXXXXX";
  if (pattern.size() >= sizeof temp_path) return fail(ENAMETOOLONG);
  int fd = -1;
  {
    SignalBlock block;
    std::memcpy(temp_path, pattern.c_str(), pattern.size() + 1);
    fd = mkstemp(temp_path);
    if (fd >= 0) temp_exists = 1;
  }
  if (fd < 0) return fail(errno);
  if (fchmod(fd, mode) != 0 || (stream = fdopen(fd, "w")) == nullptr) {
    const int err = errno;
    close(fd);
    discard_result_file();
    return fail(err);
  }
  return stream;
}

bool commit_result_file(std::string& error) {
  int err = 0;
  if (std::fflush(stream) != 0 || std::ferror(stream)) err = errno ? errno : EIO;
  if (err == 0 && fsync(fileno(stream)) != 0) err = errno;
  if (std::fclose(stream) != 0 && err == 0) err = errno;
  stream = nullptr;
  if (err == 0) {
    SignalBlock block;
    if (std::rename(temp_path, final_name.c_str()) == 0) {
      temp_exists = 0;
      return true;
    }
    err = errno;
  }
  discard_result_file();
  error = "cannot write " + final_name + ": " + reason(err);
  return false;
}

void discard_result_file() {
  SignalBlock block;
  if (stream != nullptr) {
    std::fclose(stream);
    stream = nullptr;
  }
  if (temp_exists) {
    unlink(temp_path);
    temp_exists = 0;
  }
}

}  // namespace atanpi
