#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkor::test {

using namespace std::chrono_literals;

// Environment for a child: the parent's, with some variables set or removed,
// and optionally its own file-creation mask and descriptor limit.
struct Env {
  std::map<std::string, std::optional<std::string>> changes;
  std::optional<mode_t> umask;   // nullopt: inherit this process's mask
  std::optional<int> max_files;  // nullopt: inherit this process's limit
  Env& set(std::string name, std::string value) {
    changes[std::move(name)] = std::move(value);
    return *this;
  }
  Env& unset(std::string name) {
    changes[std::move(name)] = std::nullopt;
    return *this;
  }
  Env& set_umask(mode_t mask) {
    umask = mask;
    return *this;
  }
  Env& set_max_files(int n) {
    max_files = n;
    return *this;
  }
  // These settings with `overrides` applied on top.
  Env merged(const Env& overrides) const {
    Env out = *this;
    for (const auto& [name, value] : overrides.changes) out.changes[name] = value;
    if (overrides.umask) out.umask = overrides.umask;
    if (overrides.max_files) out.max_files = overrides.max_files;
    return out;
  }
};

// A child process with pipes on its standard input, output and error.
// Owned by one test thread. The destructor kills and reaps it, so no test
// leaves a process behind.
class Child {
 public:
  Child(const std::string& exe, const std::vector<std::string>& args, const Env& env = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }

  // Writes to the child's standard input; false when the pipe is gone.
  bool write_stdin(std::string_view bytes);
  void close_stdin();

  // Reads exactly n bytes of standard output; nullopt on timeout or EOF.
  std::optional<std::string> read_stdout(std::size_t n, std::chrono::milliseconds timeout = 10s);
  // The next line of standard output without its line feed.
  std::optional<std::string> read_stdout_line(std::chrono::milliseconds timeout = 10s);
  // Waits for the next line of standard error that contains `needle`;
  // every line read is kept in stderr_text().
  std::optional<std::string> wait_stderr(std::string_view needle,
                                         std::chrono::milliseconds timeout = 10s);
  // True when standard output reaches end of input within the timeout
  // (nothing more was written).
  bool stdout_at_eof(std::chrono::milliseconds timeout = 10s);

  // Waits for the exit; returns the exit status, or 128+signal, or nullopt on
  // timeout. Collects the rest of stdout/stderr first.
  std::optional<int> wait(std::chrono::milliseconds timeout = 10s);
  void kill(int sig);

  // All standard error read so far (wait() reads the rest).
  const std::string& stderr_text() const { return err_; }
  // Standard output read by wait() after the last explicit read.
  const std::string& stdout_rest() const { return out_; }

 private:
  bool fill(int fd, std::string& buf, std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int in_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
  std::size_t err_scanned_ = 0;
  std::optional<int> status_;
};

// Whole milliseconds until `deadline` (rounded up, never negative), for poll.
int millis_until(std::chrono::steady_clock::time_point deadline);

// The built executable, from the build system.
const std::string& host_exe();

// Reads a directory's entry names (no "." or ".."), sorted.
std::vector<std::string> list_dir(const std::string& path);

// Open file descriptors of this process.
std::size_t open_fd_count();

}  // namespace velkor::test
