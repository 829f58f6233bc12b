// Running the built program as a child process: a fresh directory, typed
// input on a pipe, its console text and exit status. Built with
// ATANPI_TESTS_WINDOWS_PROGRAMS=1, the programs are the Windows ones, started
// under wine64 (scripts/test.sh --windows): their text has CR LF line ends,
// which the console text read here and the expected file text account for.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "written_bytes.hpp"

namespace atanorg::test_support {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: a sanitizer build runs the program several times slower.
constexpr auto RUN_LIMIT = 60s;

inline constexpr bool WINDOWS_PROGRAMS = ATANPI_TESTS_WINDOWS_PROGRAMS != 0;
// Why a test is skipped for the Windows programs.
inline constexpr const char* POSIX_ONLY = "POSIX only: ";

// `text` as the programs' text mode writes it: each "\n" as CR LF for the
// Windows programs.
inline std::string as_written(const std::string& text) { return WINDOWS_PROGRAMS ? with_crlf(text) : text; }

// The programs' console text with "\n" line ends: for the Windows programs
// each CR LF becomes "\n", and a line end without its CR is marked, so that
// it shows as a difference.
inline std::string from_written(const std::string& text) {
  if (!WINDOWS_PROGRAMS) return text;
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += "<LF without CR>";
    out += text[i];
  }
  return out;
}

// The Windows program that the script `program` starts under wine64.
inline std::string windows_program_of(const char* program) {
  return std::string(ATANPI_WINDOWS_PROGRAMS_DIR) + "/" + fs::path(program).filename().string() + ".exe";
}

// A fresh directory for one run, removed with its contents afterwards.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "atanpi-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

  // Names of the entries, hidden ones included, sorted.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  bool has_temp_file_for(const std::string& name) const {
    const std::string prefix = "." + name + ".";
    for (const std::string& e : entries()) {
      if (e.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

 private:
  fs::path path_;
};

struct Outcome {
  int status = 0;  // as from waitpid
  std::string out;
  std::string err;
};

// How a child's start differs from a plain run.
struct ChildSetup {
  std::vector<std::string> args = {};                   // after the program name
  std::vector<int> closed = {};                         // standard descriptors closed at start
  std::vector<std::pair<int, std::string>> files = {};  // a standard descriptor on a file, not a pipe
  std::vector<int> broken_pipes = {};                   // standard descriptors on a pipe without a reader
  std::vector<int> ignored = {};                        // signals ignored on entry, as under nohup
  std::optional<rlim_t> file_size_limit = {};
  // Typed before the child starts: it waits in the pipe, so the child may
  // exit without reading it and nothing is written to a child that is gone.
  std::string input = {};
  // Standard error on a pseudo-terminal this many columns wide (0: a pipe),
  // the child's controlling terminal; the child in its foreground process
  // group, or in a background one while another group holds the foreground.
  unsigned short terminal_columns = 0;
  bool background = false;
  std::vector<std::pair<std::string, std::string>> environment = {};  // variables added
};

// A program with its standard streams on pipes, run in a given directory.
class Child {
 public:
  explicit Child(const fs::path& cwd, std::optional<rlim_t> file_size_limit = std::nullopt,
                 const char* program = ATANPI_EXE)
      : Child(cwd, ChildSetup{.file_size_limit = file_size_limit}, program) {}

  Child(const fs::path& cwd, const ChildSetup& setup, const char* program = ATANPI_EXE) {
    // A child that exits early must not kill the test with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    // The input fits the pipe (64 KiB), so this write never waits.
    if (!setup.input.empty() &&
        write(in[1], setup.input.data(), setup.input.size()) != static_cast<ssize_t>(setup.input.size())) {
      throw std::runtime_error("cannot type the input");
    }
    std::vector<std::pair<int, int>> files;  // standard descriptor, descriptor of the open file
    for (const auto& [fd, path] : setup.files) {
      const int opened = open(path.c_str(), (fd == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
      if (opened < 0) throw std::runtime_error("cannot open " + path);
      files.emplace_back(fd, opened);
    }
    for (int fd : setup.broken_pipes) {
      int broken[2];
      if (pipe2(broken, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
      close(broken[0]);
      files.emplace_back(fd, broken[1]);
    }
    std::string terminal;  // the pseudo-terminal's name, for the child to open
    if (setup.terminal_columns > 0) {
      terminal_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      const struct winsize size = {24, setup.terminal_columns, 0, 0};
      if (terminal_ < 0 || grantpt(terminal_) != 0 || unlockpt(terminal_) != 0 || ptsname(terminal_) == nullptr ||
          ioctl(terminal_, TIOCSWINSZ, &size) != 0) {
        throw std::runtime_error("cannot open a pseudo-terminal");
      }
      terminal = ptsname(terminal_);
    }
    const bool background = setup.background;
    const std::string dir = cwd.string();
    // A descriptor closed here would reach a Windows program under Wine as
    // one of Wine's own: a Windows parent starts it without those handles.
    std::vector<std::string> args = setup.args;
    std::vector<int> closed = setup.closed;
    if (WINDOWS_PROGRAMS && !closed.empty()) {
      std::string handles;
      for (int fd : closed) handles += std::to_string(fd);
      args.insert(args.begin(), {"start", handles, windows_program_of(program)});
      program = ATANPI_WINDOWS_HELPER_EXE;
      closed.clear();
    }
    std::vector<char*> argv = {const_cast<char*>(program)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> added;
    for (const auto& [name, value] : setup.environment) added.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    for (std::string& e : added) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::optional<rlim_t> file_size_limit = setup.file_size_limit;
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      // Only async-signal-safe calls from here to exec.
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (const auto& [fd, opened] : files) dup2(opened, fd);
      for (int fd : closed) close(fd);
      if (!terminal.empty()) {
        // A new session whose controlling terminal is the first one it
        // opens; its own process group then holds the terminal's foreground.
        const int tty = setsid() < 0 ? -1 : open(terminal.c_str(), O_RDWR);
        if (tty < 0 || dup2(tty, 2) < 0) _exit(126);
        close(tty);
        if (background) {
          // A stand-in for the shell's foreground job, ended by the
          // terminal's hang-up when the session's leader (the child) exits.
          const pid_t holder = fork();
          if (holder < 0) _exit(126);
          if (holder == 0) {
            setpgid(0, 0);
            signal(SIGHUP, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (;;) pause();
          }
          setpgid(holder, holder);
          if (tcsetpgrp(2, holder) != 0) _exit(126);
        }
      }
      if (chdir(dir.c_str()) != 0) _exit(126);
      // No core files from the signals the tests send.
      const struct rlimit no_core = {0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      if (file_size_limit) {
        const struct rlimit limit = {*file_size_limit, *file_size_limit};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
      }
      signal(SIGPIPE, SIG_DFL);
      for (int sig : setup.ignored) signal(sig, SIG_IGN);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execve(program, argv.data(), envp.data());
      _exit(127);
    }
    for (const auto& file : files) close(file.second);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (terminal_ >= 0) {
      // Standard error is read from the terminal: the pipe gets nothing.
      close(err_);
      err_ = terminal_;
    }
  }

  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, err_}) {
      if (fd >= 0) close(fd);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void type(const std::string& text) {
    ASSERT_EQ(write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  void close_input() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }

  // Reads the child's output until standard output holds `text`; false when
  // the output ends or the time runs out first.
  bool wait_for_output(const std::string& text, Clock::duration limit = RUN_LIMIT) {
    const auto deadline = Clock::now() + limit;
    while (from_written(out_text_).find(text) == std::string::npos) {
      if (Clock::now() >= deadline || !pump(deadline)) return from_written(out_text_).find(text) != std::string::npos;
    }
    return true;
  }

  // Reads the child's output until standard error makes `done` true; false
  // when the output ends or the time runs out first.
  bool wait_for_errors(const std::function<bool(const std::string&)>& done, Clock::duration limit = RUN_LIMIT) {
    const auto deadline = Clock::now() + limit;
    while (!done(from_written(err_text_))) {
      if (Clock::now() >= deadline || !pump(deadline)) return done(from_written(err_text_));
    }
    return true;
  }

  // Gives the pseudo-terminal a new width; the system tells the foreground
  // process group (SIGWINCH).
  void resize_terminal(unsigned short columns) {
    const struct winsize size = {24, columns, 0, 0};
    ASSERT_EQ(ioctl(terminal_, TIOCSWINSZ, &size), 0);
  }

  void send(int sig) { ASSERT_EQ(kill(pid_, sig), 0); }
  pid_t pid() const { return pid_; }

  // Ends the input, reads everything and waits for the child. A child still
  // running after the limit is killed and the test fails.
  Outcome finish(Clock::duration limit = RUN_LIMIT) {
    close_input();
    const auto deadline = Clock::now() + limit;
    while (pump(deadline) && Clock::now() < deadline) {
    }
    Outcome outcome;
    if (out_ >= 0 || err_ >= 0) {
      ADD_FAILURE() << "atanpi still running after the time limit; killed";
      kill(pid_, SIGKILL);
    }
    waitpid(pid_, &outcome.status, 0);
    pid_ = -1;
    outcome.out = from_written(out_text_);
    outcome.err = from_written(err_text_);
    return outcome;
  }

  std::string output() const { return from_written(out_text_); }

 private:
  // Waits for output once and reads what came; false when both streams ended.
  bool pump(Clock::time_point deadline) {
    pollfd fds[2];
    nfds_t count = 0;
    for (int fd : {out_, err_}) {
      if (fd >= 0) fds[count++] = {fd, POLLIN, 0};
    }
    if (count == 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const int ready = poll(fds, count, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (ready < 0 && errno != EINTR) return false;
    for (nfds_t k = 0; ready > 0 && k < count; ++k) {
      if (fds[k].revents == 0) continue;
      int& fd = fds[k].fd == out_ ? out_ : err_;
      std::string& text = fds[k].fd == out_ ? out_text_ : err_text_;
      char buffer[65536];
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        // A pseudo-terminal ends with EIO once no process holds it open.
        close(fd);
        if (fd == terminal_) terminal_ = -1;
        fd = -1;
      }
    }
    return out_ >= 0 || err_ >= 0;
  }

  pid_t pid_ = -1;
  int terminal_ = -1;  // the pseudo-terminal's controlling side, read as err_
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string out_text_;
  std::string err_text_;
};

inline Outcome run_with_input(const TempDir& dir, const std::string& input, ChildSetup setup,
                              const char* program = ATANPI_EXE) {
  setup.input = input;
  Child child(dir.path(), setup, program);
  return child.finish();
}

inline Outcome run_with_input(const TempDir& dir, const std::string& input,
                       std::optional<rlim_t> file_size_limit = std::nullopt) {
  return run_with_input(dir, input, ChildSetup{.file_size_limit = file_size_limit});
}

inline bool wait_until(const std::function<bool()>& done, Clock::duration limit = RUN_LIMIT) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

inline std::string describe(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
  return "wait status " + std::to_string(status);
}

}  // namespace atanorg::test_support
