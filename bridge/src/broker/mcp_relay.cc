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
    auto sent = protocol::mcp_relay(from_agent, to_broker);
    if (!sent) return Unexpected(std::move(sent).error());
    if (!sent->has_value()) return {};
    if (!**sent) continue;
    auto answered = protocol::mcp_relay(from_broker, to_agent);
    if (!answered) return Unexpected(std::move(answered).error());
    if (!answered->has_value()) return Unexpected(IoError(ErrorKind::kUnexpectedEof));
  }
}

}  // namespace velkor::broker
