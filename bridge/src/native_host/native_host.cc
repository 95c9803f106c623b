#include "native_host/native_host.h"

#include <unistd.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "base/mutex.h"
#include "base/thread.h"
#include "ipc/fd.h"
#include "ipc/tcp.h"
#include "log/log.h"
#include "protocol/bridge.h"
#include "protocol/json.h"
#include "protocol/native_messaging.h"
#include "base/utf8.h"

namespace velkor::native_host {
namespace {

constexpr std::string_view kTag = "native-host";

// FIFO from the standard-input reader to the TCP writer. While the broker
// is away, frames wait here; past a bound the reader stops reading, so a
// browser that keeps sending holds its messages in its own buffers instead
// of growing this process without limit (each frame may be 64 MiB).
class Queue {
 public:
  static constexpr std::size_t kMaxItems = 64;

  // Waits while the queue is full, with no deadline: the reader has nothing
  // else to do, and the process ends from whichever thread sees an end first.
  void push(json::Json value) {
    {
      MutexLock lock(&mu_);
      while (items_.size() >= kMaxItems) {
        not_full_.wait_until(&mu_, std::chrono::steady_clock::now() + std::chrono::hours(1));
      }
      items_.push_back(std::move(value));
    }
    cv_.signal();
  }

  // Waits for the next value with no deadline: the writer has nothing else
  // to do, and the process ends from whichever thread sees an end first.
  json::Json pop() {
    MutexLock lock(&mu_);
    while (items_.empty()) {
      cv_.wait_until(&mu_, std::chrono::steady_clock::now() + std::chrono::hours(1));
    }
    json::Json v = std::move(items_.front());
    items_.pop_front();
    not_full_.signal();
    return v;
  }

 private:
  Mutex mu_;
  CondVar cv_;
  CondVar not_full_;
  std::deque<json::Json> items_ VELKOR_GUARDED_BY(mu_);
};

// Every message is flushed as it is written, so nothing is lost by ending
// the process at once from any thread.
[[noreturn]] void end_process(int status) { ::_exit(status); }

void stdin_reader(std::shared_ptr<Queue> queue) {
  protocol::BufReader in(std::make_unique<ipc::FdSource>(ipc::FdSource::borrow(STDIN_FILENO)));
  for (;;) {
    auto frame = protocol::nm_read_frame(in);
    if (!frame) {
      log::emit(log::Level::kWarn, kTag, "stdin read error: {}", frame.error().to_string());
      end_process(0);
    }
    if (!frame->has_value()) {
      log::emit(log::Level::kInfo, kTag, "stdin EOF, shutting down");
      end_process(0);
    }
    queue->push(std::move(**frame));
  }
}

void tcp_writer(ipc::UniqueFd stream, std::shared_ptr<Queue> queue) {
  ipc::FdSink out(std::move(stream));
  for (;;) {
    json::Json value = queue->pop();
    if (auto w = protocol::bridge_write_value(out, value); !w) {
      log::emit(log::Level::kWarn, kTag, "tcp write error: {}", w.error().to_string());
      break;
    }
  }
  log::emit(log::Level::kDebug, kTag, "frame->TCP thread ending; exiting process");
  end_process(0);
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
    auto parsed = json::parse(line);
    if (!parsed) {
      log::emit(log::Level::kWarn, kTag, "tcp line not json: {}", parsed.error().to_string());
      continue;
    }
    const json::Json& value = parsed->value;
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
  auto queue = std::make_shared<Queue>();
  spawn_detached(stdin_reader, queue);

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
  spawn_detached(tcp_writer, std::move(*stream), queue);
  std::thread reader = spawn(tcp_reader, std::move(*read_handle));
  reader.join();
  log::emit(log::Level::kDebug, kTag, "exit");
  end_process(0);
}

}  // namespace velkor::native_host
