// The result file's safe replacement on WebAssembly (emscripten): under
// Node.js on the real files (NODERAWFS), in a page's worker in memory, from
// where the page takes it. As on POSIX (shared_posix.hpp): the temporary
// file beside the final one, named by its owner, links followed, the
// earlier file checked without opening it for writing and by the rules the
// rename applies, the mode kept or made from the umask, the space reserved
// where the file system can, the temporary name checked before the atomic
// rename, and the file and then its folder synced. What differs:
// emscripten has no signals and no real locks, and under Node its calls
// that know nothing of the real system (the user, the umask, access rights,
// sync, the host) are answered by Node. The program's main() runs on a
// thread of its own there (PROXY_TO_PTHREAD), so that Node's thread stays
// free for the file system calls, which emscripten carries out there, and
// for Node's signal events: SIGINT, SIGTERM and SIGHUP are caught there,
// and that handler and the commit agree through run_state.hpp, whose word
// it reads in the module's shared memory. There is no lock (emscripten's
// flock does nothing, and the stale files' clean-up takes nothing); the
// temporary file's name carries the Node process's host and id, which
// keeps a native run's clean-up off it while the process lives.
#include <emscripten.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
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

// Closes the stream and removes the temporary file; returns 0, or the error
// that keeps the file where it is. The name is removed before it is marked
// gone, so that the handler never finds it marked gone while it is there.
int discard() {
  const int kept = close_and_remove_temp(stream, temp_path, temp_exists.load() == 1);
  temp_exists.store(0);
  return kept;
}

// Ends a commit that failed before the file was put in place: the temporary
// file is removed, or the message says where it is left.
bool fail_commit(const std::string& message, std::string& error) {
  error = commit_failure(message, temp_path, discard());
  return false;
}

// Whether the temporary name still leads to the file open on `fd`: another
// program may have removed it, or put another file in its place, which the
// rename would then put in place of the result. emscripten's fstat reads
// the name, not the descriptor, so Node is asked. In a page nothing else
// reaches the files.
bool temp_still_ours(int fd) {
  return MAIN_THREAD_EM_ASM_INT(
             {
               if (!ENVIRONMENT_IS_NODE) return 1;
               const fs = require('fs');
               try {
                 const opened = fs.fstatSync(FS.getStream($0).nfd, {bigint : true});
                 const named = fs.lstatSync(UTF8ToString($1), {bigint : true});
                 return opened.dev == named.dev && opened.ino == named.ino ? 1 : 0;
               } catch (e) {
                 return 0;
               }
             },
             fd, temp_path) == 1;
}

// Syncs the folder that holds the result's new name (under Node; a page's
// files are in memory); 0, or the error. A folder that this user may write
// but not read (mode -wx) cannot be opened, and Node has no syncfs: its
// name reaches the disk as the system writes it back.
int sync_folder() {
  return MAIN_THREAD_EM_ASM_INT(
      {
        if (!ENVIRONMENT_IS_NODE) return 0;
        const fs = require('fs');
        let folder = -1;
        try {
          folder = fs.openSync(UTF8ToString($0), 'r');
          fs.fsyncSync(folder);
          return 0;
        } catch (e) {
          // A folder that cannot be opened for reading, or a filesystem that
          // cannot sync one, has no more to do.
          if (e.code == 'EINVAL' || e.code == 'EROFS' || (folder < 0 && e.code == 'EACCES')) return 0;
          return ERRNO_CODES[e.code] || $1;
        } finally {
          if (folder >= 0) fs.closeSync(folder);
        }
      },
      directory_of(target_path).c_str(), EIO);
}

}  // namespace

uid_t effective_user() {
  // In a page, root: its files are its own.
  return static_cast<uid_t>(
      MAIN_THREAD_EM_ASM_INT({ return ENVIRONMENT_IS_NODE && process.geteuid ? process.geteuid() | 0 : 0; }));
}

mode_t creation_mask() {
  // In a page, the usual 022.
  return static_cast<mode_t>(MAIN_THREAD_EM_ASM_INT({ return ENVIRONMENT_IS_NODE ? process.umask() : 18; }));
}

int write_access(const std::string& path) {
  // Node's access(2); emscripten's looks at the mode bits alone.
  const int err = MAIN_THREAD_EM_ASM_INT(
      {
        if (!ENVIRONMENT_IS_NODE) return -1;
        const fs = require('fs');
        try {
          fs.accessSync(UTF8ToString($0), fs.constants.W_OK);
          return 0;
        } catch (e) {
          return ERRNO_CODES[e.code] || $1;
        }
      },
      path.c_str(), EIO);
  if (err >= 0) return err;
  return access(path.c_str(), W_OK) == 0 ? 0 : errno;
}

// Node cannot read a file's attributes: an append-only or immutable folder
// shows when the rename comes.
bool fixed_in_place(const std::string&) { return false; }

int sync_to_disk(int fd) {
  // emscripten's fsync does nothing on Node's files.
  return MAIN_THREAD_EM_ASM_INT(
      {
        if (!ENVIRONMENT_IS_NODE) return 0;
        try {
          require('fs').fsyncSync(FS.getStream($0).nfd);
          return 0;
        } catch (e) {
          return ERRNO_CODES[e.code] || $1;
        }
      },
      fd, EIO);
}

TempOwner this_run_owner() {
  // Node's host and process, as a native run's clean-up sees them; in a
  // page, emscripten's stand-ins.
  char host[256] = {};
  const int pid = MAIN_THREAD_EM_ASM_INT(
      {
        if (!ENVIRONMENT_IS_NODE) return 0;
        stringToUTF8(require('os').hostname(), $0, $1);
        return process.pid;
      },
      host, sizeof host);
  if (pid == 0) {
    gethostname(host, sizeof host - 1);
    return TempOwner{host_tag(host), static_cast<std::uint32_t>(getpid())};
  }
  return TempOwner{host_tag(host), static_cast<std::uint32_t>(pid)};
}

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
  mode_t mode = 0;
  std::string pattern;
  if (!prepare_result_file(name, sizeof temp_path, target_path, mode, pattern, error)) return nullptr;
  std::memcpy(temp_path, pattern.c_str(), pattern.size() + 1);
  const int fd = mkostemp(temp_path, O_CLOEXEC);
  if (fd < 0) return fail(errno);
  temp_exists.store(1);
  if (fchmod(fd, mode) != 0 || (stream = fdopen(fd, "w")) == nullptr) {
    const int err = errno;
    if (stream == nullptr) close(fd);
    discard();
    return fail(err);
  }
  if (!reserve_space(fd, size, fallback_size, name, error)) {
    discard();
    return nullptr;
  }
  return stream;
}

bool commit_result_file(std::string& error) {
  // Checked while the file is still open, so that no other file can have
  // taken its inode number meanwhile.
  if (!temp_still_ours(fileno(stream))) {
    temp_exists.store(0);  // whatever has the name now is not this run's to remove
    return fail_commit(temp_file_lost(final_name, temp_path), error);
  }
  if (const int err = finish_result_stream(stream); err != 0) {
    return fail_commit("cannot write " + final_name + ": " + error_text(err), error);
  }
  if (!run_state::begin_commit()) {
    // Node's thread is ending the process by its signal.
    for (;;) pause();
  }
  if (std::rename(temp_path, target_path.c_str()) != 0) {
    const int err = errno;
    run_state::commit_failed();
    return fail_commit(rename_failed(final_name, temp_path, err), error);
  }
  temp_exists.store(0);
  // The new name reaches the disk with the folder.
  if (const int synced = sync_folder(); synced != 0) {
    error = folder_not_synced(final_name, synced);
    return false;
  }
  return true;
}

void discard_result_file() { discard(); }

}  // namespace atanorg
