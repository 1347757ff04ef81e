#include "cli/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "cli/cli_common.h"
#include "cli/text_escape.h"
#include "io/file_access.h"

namespace ovk::cli {
namespace {

// ---- the table of live temporary files ----

constexpr std::size_t kSlots = 32;
struct Slot {
  std::atomic<int> used{0};
  char path[PATH_MAX];
};
Slot g_slots[kSlots];
constexpr std::array<int, 3> kCleanupSignals = {SIGINT, SIGTERM, SIGHUP};

// Blocks the cleanup signals on this thread for its lifetime, so the table
// and the files it names change together.
class SignalBlock {
 public:
  SignalBlock() {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : kCleanupSignals) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, &saved_);
  }
  ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t saved_;
};

// The thread that installed the handlers (the main one), which alone
// creates and removes temporary files; set once, before any other thread.
pthread_t g_main_thread;

extern "C" void remove_temporaries_and_die(int signal_number) {
  // Only async-signal-safe calls: pthread_kill, unlink, signal, raise.
  // The kernel hands a signal for the process to any thread that does not
  // block it, such as a reader's or a coder's while the main thread blocks
  // it between creating a temporary file and registering it. Such a thread
  // passes it on to the main thread, where it waits until the table and the
  // files agree again.
  if (pthread_equal(pthread_self(), g_main_thread) == 0) {
    pthread_kill(g_main_thread, signal_number);
    return;
  }
  for (Slot& slot : g_slots) {
    if (slot.used.load(std::memory_order_acquire) == 1) ::unlink(slot.path);
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

// ---- resolving the output ----

constexpr int kMostLinks = 40;  // as the kernel's own limit on link chains

// The name finally written: `path` with every symbolic link followed,
// relative links read against the link's folder. A dangling link gives the
// name it points to (the file is created there).
Result<std::string> follow_links(std::string path) {
  for (int hop = 0; hop < kMostLinks; ++hop) {
    struct stat info{};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::array<char, PATH_MAX> text{};
    const ssize_t n = ::readlink(path.c_str(), text.data(), text.size() - 1);
    if (n < 0) return io::os_error(errno);
    const std::string link(text.data(), static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    if (link.front() == '/' || slash == std::string::npos) {
      path = link;
    } else {
      path = path.substr(0, slash + 1) + link;
    }
  }
  return io::os_error(ELOOP);
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// What is at the output's place now.
struct Existing {
  std::string target;               // the name written (links followed)
  std::optional<struct stat> info;  // nullopt when nothing is there yet
};

Result<Existing> inspect(const std::string& path, const OutputPolicy& policy) {
  if (path.empty()) return Error(ErrorKind::kInvalidInput, "the output name is empty");
  if (path.find('\0') != std::string::npos) {
    return Error(ErrorKind::kInvalidInput, "file name contained an unexpected NUL byte");
  }
  // What the name leads to, links followed by the kernel: a special file is
  // opened by its own name (which also serves /dev/stdout and /proc/self/fd/N,
  // whose link text is no path); a regular file is replaced at the name its
  // links lead to.
  struct stat info{};
  Existing out{path, std::nullopt};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
    out.info = info;
  } else {
    OVK_ASSIGN_OR_RETURN(out.target, follow_links(path));
    if (::stat(out.target.c_str(), &info) != 0) {
      if (errno == ENOENT) return out;
      return io::os_error(errno);
    }
  }
  if (S_ISDIR(info.st_mode)) return io::os_error(EISDIR);
  for (const std::string& input : policy.inputs) {
    struct stat read{};
    if (::stat(input.c_str(), &read) == 0 && same_file(read, info)) {
      return Error(ErrorKind::kInvalidInput,
                   "is the input " + escape_for_terminal(input) +
                       "; refusing to write over it (even with --force)");
    }
  }
  if (S_ISREG(info.st_mode) && !policy.force) {
    return Error(ErrorKind::kInvalidInput, "already exists; use -f or --force to replace it");
  }
  out.info = info;
  return out;
}

Status write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return io::os_error(errno);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return Ok{};
}

// Copies what is left of `from` into `to`.
Status copy_whole(int from, int to) {
  std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
  for (;;) {
    const ssize_t n = ::read(from, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return io::os_error(errno);
    if (n == 0) return Ok{};
    OVK_RETURN_IF_ERROR(write_all(to, std::span(buffer).first(static_cast<std::size_t>(n))));
  }
}

Error stream_error(int saved_errno) { return io::os_error(saved_errno != 0 ? saved_errno : EIO); }

}  // namespace

struct OutputFile::State {
  std::string target;
  std::optional<struct stat> replaced;      // the regular file being replaced, if any
  std::optional<io::AtomicFileWriter> temp;  // regular files
  io::FileHandle direct;                     // special files, written in place
  bool to_stdout = false;
  std::FILE* stream = nullptr;  // stdout, or a stream on a copy of the descriptor
  std::string registered;

  int fd() const noexcept {
    if (to_stdout) return STDOUT_FILENO;
    if (temp) return temp->fd();
    return direct.fd();
  }

  Status close_stream() {
    if (stream == nullptr) return Ok{};
    errno = 0;
    const bool failed = std::fflush(stream) != 0 || std::ferror(stream) != 0;
    const int saved = errno;
    if (stream != stdout) std::fclose(stream);
    stream = nullptr;
    if (failed) return stream_error(saved);
    return Ok{};
  }

  // The new content goes where the old was: renamed over it, or copied into
  // it when other hard links share it.
  Status put_in_place() {
    if (replaced) {
      // Both may fail for a file owned by someone else; the mode is what matters.
      (void)::fchown(temp->fd(), replaced->st_uid, replaced->st_gid);
      if (::fchmod(temp->fd(), replaced->st_mode & 07777) != 0) return io::os_error(errno);
    }
    if (!replaced || replaced->st_nlink < 2) return temp->commit();
    const int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return io::os_error(errno);
    io::FileHandle file(fd);
    const int content = ::open(temp->temporary_path().c_str(), O_RDONLY | O_CLOEXEC);
    if (content < 0) return io::os_error(errno);
    const io::FileHandle source(content);
    OVK_RETURN_IF_ERROR(copy_whole(source.fd(), file.fd()));
    if (::fsync(file.fd()) != 0) return io::os_error(errno);
    if (::close(file.release()) != 0) return io::os_error(errno);
    return Ok{};  // the temporary file goes with the writer
  }

  void discard() noexcept {
    if (stream != nullptr && stream != stdout) std::fclose(stream);
    stream = nullptr;
    const SignalBlock block;
    temp.reset();
    if (!registered.empty()) unregister_temporary(registered);
    registered.clear();
  }
};

void add_force_option(CLI::App& command, bool& force) {
  command.add_flag("-f,--force", force, "Replace an existing output file");
}

Status check_output(const std::string& path, const OutputPolicy& policy) {
  if (policy.allow_stdout && path == "-") return Ok{};
  OVK_ASSIGN_OR_RETURN(const Existing existing, inspect(path, policy));
  (void)existing;
  return Ok{};
}

Result<OutputFile> OutputFile::open(const std::string& path, const OutputPolicy& policy) {
  auto state = std::make_unique<State>();
  if (policy.allow_stdout && path == "-") {
    state->to_stdout = true;
    return OutputFile(std::move(state));
  }
  OVK_ASSIGN_OR_RETURN(Existing existing, inspect(path, policy));
  state->target = existing.target;
  if (existing.info && !S_ISREG(existing.info->st_mode)) {
    const int fd = ::open(state->target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return io::os_error(errno);
    state->direct = io::FileHandle(fd);
    return OutputFile(std::move(state));
  }
  state->replaced = existing.info;
  const SignalBlock block;
  OVK_ASSIGN_OR_RETURN(io::AtomicFileWriter writer, io::AtomicFileWriter::create(state->target));
  if (register_temporary(writer.temporary_path())) state->registered = writer.temporary_path();
  state->temp.emplace(std::move(writer));
  return OutputFile(std::move(state));
}

OutputFile::OutputFile(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
OutputFile::OutputFile(OutputFile&&) noexcept = default;
OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    if (state_) state_->discard();
    state_ = std::move(other.state_);
  }
  return *this;
}
OutputFile::~OutputFile() {
  if (state_) state_->discard();
}

Status OutputFile::write(std::span<const std::uint8_t> bytes) {
  if (!state_ || state_->fd() < 0) OVK_FAULT("write to an output that is spent");
  if (state_->to_stdout) std::fflush(stdout);
  if (state_->temp) return state_->temp->write(bytes);
  return write_all(state_->fd(), bytes);
}

std::FILE* OutputFile::stream() {
  if (!state_ || state_->fd() < 0) OVK_FAULT("stream of an output that is spent");
  if (state_->stream != nullptr) return state_->stream;
  if (state_->to_stdout) {
    state_->stream = stdout;
  } else {
    const int copy = ::fcntl(state_->fd(), F_DUPFD_CLOEXEC, 0);
    state_->stream = copy < 0 ? nullptr : ::fdopen(copy, "w");
    if (state_->stream == nullptr) {
      if (copy >= 0) ::close(copy);
      throw std::bad_alloc();
    }
  }
  return state_->stream;
}

int OutputFile::fd() const noexcept { return state_ ? state_->fd() : -1; }

bool OutputFile::in_place() const noexcept { return state_ && !state_->temp; }

std::string OutputFile::temporary_path() const {
  return state_ && state_->temp ? state_->temp->temporary_path() : std::string();
}

Status OutputFile::commit() {
  if (!state_) OVK_FAULT("commit of an output that is spent");
  const std::unique_ptr<State> state = std::move(state_);
  Status done = state->close_stream();
  if (done.ok() && state->to_stdout) {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) done = stream_error(errno);
  }
  if (done.ok() && state->direct.is_open() && ::close(state->direct.release()) != 0) {
    done = io::os_error(errno);
  }
  if (done.ok() && state->temp) {
    const SignalBlock block;
    done = state->put_in_place();
  }
  state->discard();
  return done;
}

bool write_output_file(const std::string& path, const OutputPolicy& policy,
                       std::span<const std::uint8_t> bytes) {
  Status written = [&]() -> Status {
    OVK_ASSIGN_OR_RETURN(OutputFile out, OutputFile::open(path, policy));
    OVK_RETURN_IF_ERROR(out.write(bytes));
    return out.commit();
  }();
  if (!written.ok()) print_failure(path, written.error().message());
  return written.ok();
}

void install_signal_cleanup() {
  g_main_thread = pthread_self();
  for (const int s : kCleanupSignals) {
    struct sigaction previous{};
    if (::sigaction(s, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    struct sigaction action{};
    action.sa_handler = remove_temporaries_and_die;
    // A thread that passes the signal on resumes what it was doing.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int other : kCleanupSignals) sigaddset(&action.sa_mask, other);
    ::sigaction(s, &action, nullptr);
  }
}

bool register_temporary(const std::string& path) {
  if (path.size() >= PATH_MAX) return false;
  const SignalBlock block;
  for (Slot& slot : g_slots) {
    int free_slot = 0;  // 2 while the path is copied in, 1 once it is whole
    if (!slot.used.compare_exchange_strong(free_slot, 2, std::memory_order_acq_rel)) continue;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.used.store(1, std::memory_order_release);
    return true;
  }
  return false;
}

void unregister_temporary(const std::string& path) {
  const SignalBlock block;
  for (Slot& slot : g_slots) {
    if (slot.used.load(std::memory_order_acquire) == 1 && path == slot.path) {
      slot.used.store(0, std::memory_order_release);
      return;
    }
  }
}

}  // namespace ovk::cli
