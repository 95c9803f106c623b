#include "support/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

extern char** environ;

namespace velkor::test {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

int millis_until(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

const std::string& host_exe() {
  static const std::string path = VELKOR_HOST_EXE;
  return path;
}

Child::Child(const std::string& exe, const std::vector<std::string>& args, const Env& env) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    std::abort();
  }
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    if (env.changes.count(name) == 0) env_strings.push_back(entry);
  }
  for (const auto& [name, value] : env.changes) {
    if (value) env_strings.push_back(name + "=" + *value);
  }
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string program = exe;
  std::vector<std::string> argv_strings{exe};
  if (env.umask || env.max_files) {
    // posix_spawn cannot set a umask or a limit, and changing this process's
    // own would race with other threads. A shell sets them and then execs
    // the program in its own place, so pid() still names the program.
    std::string setup;
    if (env.umask) {
      char mask[16];
      std::snprintf(mask, sizeof mask, "%04o", static_cast<unsigned>(*env.umask & 0777));
      setup += std::string("umask ") + mask + " && ";
    }
    if (env.max_files) setup += "ulimit -n " + std::to_string(*env.max_files) + " && ";
    program = "/bin/sh";
    argv_strings = {program, "-c", setup + "exec \"$0\" \"$@\"", exe};
  }
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  // The child starts with default signal dispositions and an empty mask,
  // whatever the test runner did.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int rc = ::posix_spawn(&pid_, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in_ = in[1];
  out_fd_ = out[0];
  err_fd_ = err[0];
  if (rc != 0) pid_ = -1;
}

Child::~Child() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int st;
    ::waitpid(pid_, &st, 0);
  }
  close_stdin();
  if (out_fd_ >= 0) ::close(out_fd_);
  if (err_fd_ >= 0) ::close(err_fd_);
}

bool Child::write_stdin(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void Child::close_stdin() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

// Reads whatever is available on fd into buf; false on EOF or timeout.
bool Child::fill(int fd, std::string& buf, Clock::time_point deadline) {
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  int r = ::poll(&p, 1, millis_until(deadline));
  if (r <= 0) return false;
  char chunk[65536];
  ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n <= 0) return false;
  buf.append(chunk, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> Child::read_stdout(std::size_t n, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (out_.size() < n) {
    if (!fill(out_fd_, out_, deadline)) return std::nullopt;
  }
  std::string got = out_.substr(0, n);
  out_.erase(0, n);
  return got;
}

std::optional<std::string> Child::read_stdout_line(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    auto nl = out_.find('\n');
    if (nl != std::string::npos) {
      std::string line = out_.substr(0, nl);
      out_.erase(0, nl + 1);
      return line;
    }
    if (!fill(out_fd_, out_, deadline)) return std::nullopt;
  }
}

bool Child::stdout_at_eof(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  pollfd p{out_fd_, POLLIN, 0};
  if (::poll(&p, 1, millis_until(deadline)) <= 0) return false;
  char c;
  ssize_t n = ::read(out_fd_, &c, 1);
  if (n == 1) out_.push_back(c);
  return n == 0;
}

std::optional<std::string> Child::wait_stderr(std::string_view needle,
                                              std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    for (;;) {
      auto nl = err_.find('\n', err_scanned_);
      if (nl == std::string::npos) break;
      std::string line = err_.substr(err_scanned_, nl - err_scanned_);
      err_scanned_ = nl + 1;
      if (line.find(needle) != std::string::npos) return line;
    }
    if (!fill(err_fd_, err_, deadline)) return std::nullopt;
  }
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      // Collect what the child left in its pipes.
      while (fill(out_fd_, out_, Clock::now() + 200ms)) {
      }
      while (fill(err_fd_, err_, Clock::now() + 200ms)) {
      }
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    // Drain the pipes meanwhile so a chatty child cannot block on them.
    pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    bool got = false;
    if (::poll(p, 2, 10) > 0) {
      if (p[0].revents) got |= fill(out_fd_, out_, Clock::now());
      if (p[1].revents) got |= fill(err_fd_, err_, Clock::now());
    }
    // Closed pipes poll ready for ever; do not spin on them.
    if (!got) std::this_thread::sleep_for(5ms);
  }
}

void Child::kill(int sig) {
  if (pid_ > 0 && !status_) ::kill(pid_, sig);
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = ::opendir(path.c_str());
  if (d == nullptr) return names;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::size_t open_fd_count() { return list_dir("/proc/self/fd").size() - 1; }

}  // namespace velkor::test
