#include "native_host/native_host.h"

#include <unistd.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/mutex.h"
#include "base/thread.h"
#include "base/utf8.h"
#include "ipc/fd.h"
#include "ipc/tcp.h"
#include "log/log.h"
#include "protocol/bridge.h"
#include "protocol/json.h"
#include "protocol/json_fast.h"
#include "protocol/native_messaging.h"

namespace velkor::native_host {
namespace {

constexpr std::string_view kTag = "native-host";

// Every message is flushed as it is written, so nothing is lost by ending
// the process at once from any thread.
[[noreturn]] void end_process(int status) { ::_exit(status); }

// Frames from the browser on their way to the broker. While the broker is
// away they wait here; past a bound the reader stops reading, so a browser
// that keeps sending holds its messages in its own buffers instead of
// growing this process without limit (each frame may be 64 MiB). Once the
// broker is reached, the reader writes each line itself: no hand-over to
// another thread sits between the browser and the broker.
class Forwarder {
 public:
  static constexpr std::size_t kMaxItems = 64;

  // Waits while the queue is full with no deadline: the reader has nothing
  // else to do, and the process ends from whichever thread sees an end first.
  void forward(std::string line) {
    MutexLock lock(&mu_);
    while (!out_ && items_.size() >= kMaxItems) {
      not_full_.wait_until(&mu_, std::chrono::steady_clock::now() + std::chrono::hours(1));
    }
    if (!out_) {
      items_.push_back(std::move(line));
      return;
    }
    write(line);
  }

  // Sends what waited, in order, and lets the reader write from now on.
  void connect(ipc::UniqueFd stream) {
    MutexLock lock(&mu_);
    out_.emplace(std::move(stream));
    for (const std::string& line : items_) write(line);
    items_.clear();
    not_full_.signal_all();
  }

 private:
  void write(std::string_view line) VELKOR_REQUIRES(mu_) {
    if (auto w = out_->write_all(line); !w) {
      log::emit(log::Level::kWarn, kTag, "tcp write error: {}", w.error().to_string());
      end_process(0);
    }
  }

  Mutex mu_;
  CondVar not_full_;
  std::optional<ipc::FdSink> out_ VELKOR_GUARDED_BY(mu_);
  std::deque<std::string> items_ VELKOR_GUARDED_BY(mu_);
};

[[noreturn]] void end_on_read_error(const IoError& error) {
  log::emit(log::Level::kWarn, kTag, "stdin read error: {}", error.to_string());
  end_process(0);
}

void stdin_reader(std::shared_ptr<Forwarder> forwarder) {
  protocol::BufReader in(std::make_unique<ipc::FdSource>(ipc::FdSource::borrow(STDIN_FILENO)));
  for (;;) {
    auto body = protocol::nm_read_body(in);
    if (!body) end_on_read_error(body.error());
    if (!body->has_value()) {
      log::emit(log::Level::kInfo, kTag, "stdin EOF, shutting down");
      end_process(0);
    }
    // Browsers write members in the extension's order; ours are sorted on
    // the way, which mostly needs no tree at all.
    std::optional<std::string> line = protocol::json::fast::sorted_object(**body);
    if (!line) {
      auto value = protocol::nm_decode(**body);
      if (!value) end_on_read_error(value.error());
      line = protocol::json::dump(*value);
    }
    *line += '\n';
    forwarder->forward(std::move(*line));
  }
}

void tcp_reader(ipc::UniqueFd read_handle) {
  protocol::BufReader in(std::make_unique<ipc::FdSource>(std::move(read_handle)));
  ipc::FdSink out = ipc::FdSink::borrow(STDOUT_FILENO);
  std::string line;
  for (;;) {
    line.clear();
    // No cap on this side: the broker is the trusted peer here.
    auto got = in.read_line(line, SIZE_MAX);
    if (!got) {
      log::emit(log::Level::kWarn, kTag, "tcp read error: {}", got.error().to_string());
      break;
    }
    if (*got == 0) {
      log::emit(log::Level::kInfo, kTag, "tcp EOF");
      break;
    }
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!is_valid_utf8(line)) {
      log::emit(log::Level::kWarn, kTag, "tcp read error: {}",
                "stream did not contain valid UTF-8");
      break;
    }
    if (is_unicode_blank(line)) continue;
    // The broker's lines mostly need only their members sorted. A line that
    // mentions the handshake anywhere takes the full path, which tells
    // whether it is one.
    if (line.find("\"hello\"") == std::string::npos) {
      if (std::optional<std::string> sorted = protocol::json::fast::sorted_object(line)) {
        if (auto w = protocol::nm_write_body(out, *sorted); !w) {
          log::emit(log::Level::kWarn, kTag, "stdout write error: {}", w.error().to_string());
          break;
        }
        continue;
      }
    }
    auto parsed = protocol::json::parse(line);
    if (!parsed) {
      log::emit(log::Level::kWarn, kTag, "tcp line not json: {}", parsed.error().to_string());
      continue;
    }
    const protocol::json::Json& value = parsed->value;
    // The handshake is between us and the broker; the extension never sees it.
    if (value.is_object() && value.contains("hello")) continue;
    if (auto w = protocol::nm_write_frame(out, value); !w) {
      log::emit(log::Level::kWarn, kTag, "stdout write error: {}", w.error().to_string());
      break;
    }
  }
  log::emit(log::Level::kDebug, kTag, "TCP->stdout thread ending");
}

}  // namespace

int run() {
  auto forwarder = std::make_shared<Forwarder>();
  spawn_detached(stdin_reader, forwarder);

  std::optional<ipc::UniqueFd> stream;
  bool logged = false;
  for (;;) {
    auto connected = ipc::connect_as(std::nullopt);
    if (connected) {
      stream.emplace(std::move(*connected));
      break;
    }
    if (!logged) {
      log::emit(log::Level::kInfo, kTag, "waiting for MCP server ({})",
                connected.error().to_string());
      logged = true;
    }
    std::this_thread::sleep_for(kRetryInterval);
  }
  log::emit(log::Level::kInfo, kTag, "connected to MCP server bridge socket");

  auto read_handle = stream->try_clone();
  if (!read_handle) {
    log::emit(log::Level::kError, kTag, "clone stream: {}", read_handle.error().to_string());
    return 1;
  }
  forwarder->connect(std::move(*stream));
  std::jthread reader = spawn<std::jthread>(tcp_reader, std::move(*read_handle));
  reader.join();
  log::emit(log::Level::kDebug, kTag, "exit");
  end_process(0);
}

}  // namespace velkor::native_host
