// The result file's safe replacement on WebAssembly (emscripten): under
// Node.js on the real files (NODERAWFS), in a page's worker in memory, from
// where the page takes it. As on POSIX (shared_posix.hpp): the temporary
// file beside the final one, links followed, the mode kept or made from the
// umask, the space reserved where the file system can, the atomic rename.
// What differs: emscripten has no signals and no real locks. Under Node the
// program's main() runs on a thread of its own (PROXY_TO_PTHREAD), so that
// Node's thread stays free for the file system calls, which emscripten
// carries out there, and for Node's signal events: SIGINT, SIGTERM and
// SIGHUP are caught there, and that handler and the commit agree through
// run_state.hpp, whose word it reads in the module's shared memory. There
// is no lock (emscripten's flock does nothing, and the stale files' clean-up
// takes nothing), and the folder is not synced after the rename.
#include <emscripten.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/platform.hpp"
#include "platform/run_state.hpp"
#include "platform/shared_posix.hpp"
#include "platform/temp_name.hpp"

namespace atanorg {
namespace {

// Read by the handler on Node's thread: the temporary file's name, and 1
// while it exists.
char temp_path[4096];
std::atomic<std::int32_t> temp_exists{0};
static_assert(sizeof(std::atomic<std::int32_t>) == 4 && sizeof(run_state::state) == 4,
              "the handler reads the words as 32-bit words of the module's memory");

std::FILE* stream = nullptr;
std::string final_name;   // as given, for messages
std::string target_path;  // the file replaced: final_name, or where its links lead

}  // namespace

int text_line_end_bytes() { return 1; }

void install_result_file_cleanup(void (*)()) {
  // On Node's thread: while the run's state is RUNNING, the signal removes
  // the temporary file and ends the process by the same signal, as the
  // POSIX handlers do; once the result is committed it changes nothing.
  // (Node resets the signals a process starts with ignored, so under nohup
  // a hang-up ends the run too.) In a page, nothing.
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
      &run_state::state, temp_path, &temp_exists);
  static_assert(run_state::RUNNING == 0 && run_state::DYING == 1, "the handler's move, in its numbers");
}

std::FILE* open_result_file(const std::string& name, std::int64_t size, std::int64_t fallback_size,
                            std::string_view, std::string& error) {
  final_name = name;
  auto fail = [&](int err) {
    error = "cannot create " + name + ": " + error_text(err);
    return nullptr;
  };
  if (!follow_links(name, target_path)) return fail(errno);
  // Node's umask: emscripten's is a stub. In a page, the usual 022.
  const auto mask = static_cast<mode_t>(MAIN_THREAD_EM_ASM_INT({ return ENVIRONMENT_IS_NODE ? process.umask() : 18; }));
  mode_t mode = 0;
  if (!result_file_mode(target_path, name, mask, mode, error)) return nullptr;

  const std::size_t base = base_start(target_path);
  const std::string pattern = target_path.substr(0, base) + "." + target_path.substr(base) + TEMP_MARKER + "XXXXXX";
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
  if (const int reserved = reserve_space(fd, size, fallback_size); reserved != 0) {
    discard_result_file();
    error = "cannot write " + name + ": " + error_text(reserved);
    return nullptr;
  }
  return stream;
}

bool commit_result_file(std::string& error) {
  int err = finish_result_stream(stream);
  if (err == 0) {
    if (!run_state::begin_commit()) {
      // Node's thread is ending the process by its signal.
      for (;;) pause();
    }
    if (std::rename(temp_path, target_path.c_str()) == 0) {
      temp_exists.store(0);
      return true;
    }
    err = errno;
    run_state::commit_failed();
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
