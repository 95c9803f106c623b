// The single executable's entry: picks the role from the first argument.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "base/version.h"
#include "broker/broker.h"
#include "broker/mcp_relay.h"
#include "error/io_error.h"
#include "ipc/fd.h"
#include "ipc/lock_file.h"
#include "ipc/path.h"
#include "manifest/manifest.h"
#include "native_host/native_host.h"

namespace velkor {
namespace {

constexpr std::string_view kProgram = "velkor-computer-use-host";
constexpr std::string_view kHelp =
    "Velkor Computer Use\n\n  mcp\n  serve-browser [--upload-file PATH]\n  native-manifest "
    "EXTENSION_ID\n";
constexpr std::string_view kVersion = "Velkor Computer Use " VELKOR_VERSION "\n";
constexpr std::string_view kNativeHostPrefix = "chrome-extension://";
constexpr std::string_view kUnknownCommand = "use --help for supported commands";
constexpr std::string_view kMcpUsage = "usage: velkor-computer-use-host mcp";
constexpr std::string_view kServeUsage =
    "usage: velkor-computer-use-host serve-browser [--upload-file PATH]";
constexpr std::string_view kManifestUsage =
    "usage: velkor-computer-use-host native-manifest EXTENSION_ID";

int fail(const IoError& error) {
  std::string line = std::string(kProgram) + ": " + error.to_string() + "\n";
  (void)ipc::write_all_fd(STDERR_FILENO, line);
  return 1;
}

int fail(std::string_view message) {
  return fail(IoError(ErrorKind::kOther, std::string(message)));
}

int print(std::string_view text) {
  if (auto w = ipc::write_all_fd(STDOUT_FILENO, text); !w) return fail(w.error());
  return 0;
}

Result<std::string> executable_path() {
  std::string buf(256, '\0');
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return Unexpected(IoError::from_errno(errno));
    // A full buffer may mean a cut-off path; read again with more room.
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      return buf;
    }
    buf.resize(buf.size() * 2);
  }
}

int native_manifest(const std::vector<std::string_view>& rest) {
  if (rest.size() != 1 || !is_valid_utf8(rest[0])) return fail(kManifestUsage);
  auto exe = executable_path();
  if (!exe) return fail(exe.error());
  auto manifest = manifest::NativeHostManifest::create(*exe, rest[0]);
  if (!manifest) return fail(manifest.error());
  ipc::FdSink out = ipc::FdSink::borrow(STDOUT_FILENO);
  if (auto w = manifest->write_pretty(out); !w) return fail(w.error());
  return 0;
}

// SIGTERM and SIGINT are blocked before any thread starts, so every thread
// inherits the mask and the main thread alone takes them with sigwait.
sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

int serve_browser(const std::vector<std::string_view>& rest) {
  std::string lock_path = ipc::LockFile::path();
  auto dir = ipc::parent_dir(lock_path);
  if (!dir) return fail(IoError(ErrorKind::kInvalidInput));
  sigset_t signals = stop_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  auto started = broker::BrowserBroker::start(*dir);
  if (!started) return fail(started.error());
  std::unique_ptr<broker::BrowserBroker> broker = std::move(*started);
  for (std::size_t i = 0; i < rest.size(); i += 2) {
    if (rest[i] != "--upload-file") {
      broker.reset();
      return fail(kServeUsage);
    }
    if (i + 1 == rest.size()) {
      broker.reset();
      return fail(IoError(ErrorKind::kInvalidInput));
    }
    if (auto staged = broker->select_upload_for_next_session(rest[i + 1]); !staged) {
      broker.reset();
      return fail(staged.error());
    }
  }
  // Park until asked to stop; then shut down in order so that no staged
  // copy of the user's files and no lock file outlives the broker.
  for (;;) {
    int sig = 0;
    if (sigwait(&signals, &sig) == 0 && (sig == SIGTERM || sig == SIGINT)) break;
  }
  broker.reset();
  // Detached client and reader threads may still be winding down; exiting
  // without static destructors keeps them from meeting torn-down state.
  // Nothing is buffered: every write went straight to its descriptor.
  ::_exit(0);
}

int run(int argc, char** argv) {
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (args.empty() || !is_valid_utf8(args[0]) ||
      args[0].substr(0, kNativeHostPrefix.size()) == kNativeHostPrefix) {
    return native_host::run();
  }
  std::string_view command = args[0];
  std::vector<std::string_view> rest(args.begin() + 1, args.end());
  if (command == "mcp") {
    if (!rest.empty()) return fail(kMcpUsage);
    if (auto r = broker::run_mcp(); !r) return fail(r.error());
    return 0;
  }
  if (command == "--help") return rest.empty() ? print(kHelp) : fail(kUnknownCommand);
  if (command == "--version") return rest.empty() ? print(kVersion) : fail(kUnknownCommand);
  if (command == "serve-browser") return serve_browser(rest);
  if (command == "native-manifest") return native_manifest(rest);
  return fail(kUnknownCommand);
}

}  // namespace
}  // namespace velkor

int main(int argc, char** argv) {
  // A write to a vanished peer must be an ordinary error, not a signal.
  ::signal(SIGPIPE, SIG_IGN);
  return velkor::run(argc, argv);
}
