#include "broker/mcp_relay.h"

#include <unistd.h>

#include <memory>

#include "ipc/fd.h"
#include "ipc/tcp.h"
#include "protocol/mcp.h"

namespace velkor::broker {

Result<void> run_mcp() {
  auto stream = ipc::connect_as("mcp");
  if (!stream) return Unexpected(std::move(stream).error());
  auto read_handle = stream->try_clone();
  if (!read_handle) return Unexpected(std::move(read_handle).error());
  protocol::BufReader from_broker(std::make_unique<ipc::FdSource>(std::move(*read_handle)));
  ipc::FdSink to_broker(std::move(*stream));
  protocol::BufReader from_agent(
      std::make_unique<ipc::FdSource>(ipc::FdSource::borrow(STDIN_FILENO)));
  ipc::FdSink to_agent = ipc::FdSink::borrow(STDOUT_FILENO);

  for (;;) {
    auto message = protocol::mcp_read(from_agent);
    if (!message) return Unexpected(std::move(message).error());
    if (!message->has_value()) return {};
    const bool awaits_answer = !(*message)->is_notification();
    if (auto w = protocol::mcp_write(to_broker, **message); !w) return w;
    if (!awaits_answer) continue;
    auto answer = protocol::mcp_read(from_broker);
    if (!answer) return Unexpected(std::move(answer).error());
    if (!answer->has_value()) return Unexpected(IoError(ErrorKind::kUnexpectedEof));
    if (auto w = protocol::mcp_write(to_agent, **answer); !w) return w;
  }
}

}  // namespace velkor::broker
