// Throughput of the hot paths: decoding and encoding one message per hop,
// one bridge call through a session, and a full screenshot verification.
//
// Goals on the 2-core reference machine (Release build):
//   - an MCP line or a bridge line decodes and re-encodes in well under
//     10 us for a typical small message;
//   - a bridge call round trip through a Session over a local socket stays
//     under 100 us, so the broker adds nothing an agent could notice;
//   - verifying an 11 MiB screenshot (chunks, base64, SHA-256) takes well
//     under a second.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "broker/screenshot/base64.h"
#include "broker/screenshot/screenshot.h"
#include "ipc/fd.h"
#include "protocol/bridge.h"
#include "protocol/mcp.h"
#include "protocol/native_messaging.h"
#include "session/session.h"

namespace {

using velkor::json::Json;
namespace protocol = velkor::protocol;

const std::string kToolCall =
    R"({"jsonrpc":"2.0","id":42,"method":"tools/call","params":{"name":"browser_fill",)"
    R"("arguments":{"sessionId":"0123456789abcdef0123456789abcdef","ref":"e12",)"
    R"("value":"hello world, this is a typical form value"}}})";

void BM_McpLineRoundTrip(benchmark::State& state) {
  for (auto _ : state) {
    auto msg = protocol::parse_jsonrpc(kToolCall);
    benchmark::DoNotOptimize(protocol::serialize_jsonrpc(*msg));
  }
}
BENCHMARK(BM_McpLineRoundTrip);

void BM_BridgeResponseDecode(benchmark::State& state) {
  const std::string line =
      R"({"id":17,"ok":true,"data":{"text":")" + std::string(state.range(0), 'x') + "\"}}\n";
  for (auto _ : state) {
    benchmark::DoNotOptimize(protocol::parse_bridge_resp(line));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}
BENCHMARK(BM_BridgeResponseDecode)->Arg(64)->Arg(64 << 10)->Arg(4 << 20);

void BM_FrameRoundTrip(benchmark::State& state) {
  Json value = {{"id", 5}, {"op", "page_click"}, {"args", {{"ref", "e1"}}}};
  for (auto _ : state) {
    protocol::StringSink sink;
    (void)protocol::nm_write_frame(sink, value);
    protocol::BufReader in(std::make_unique<protocol::StringSource>(sink.data()));
    benchmark::DoNotOptimize(protocol::nm_read_frame(in));
  }
}
BENCHMARK(BM_FrameRoundTrip);

// One call_inner round trip against an extension thread that answers every
// request line at once.
void BM_SessionCallRoundTrip(benchmark::State& state) {
  int fds[2];
  ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
  velkor::ipc::UniqueFd broker_side(fds[0]);
  auto read_side = broker_side.try_clone();
  velkor::session::Session session;
  session.attach_authenticated(
      std::make_unique<protocol::BufReader>(
          std::make_unique<velkor::ipc::FdSource>(std::move(*read_side))),
      std::move(broker_side));
  std::thread extension([fd = fds[1]] {
    protocol::BufReader in(
        std::make_unique<velkor::ipc::FdSource>(velkor::ipc::FdSource::borrow(fd)));
    std::string line;
    for (;;) {
      line.clear();
      auto got = in.read_line(line, SIZE_MAX);
      if (!got || *got == 0) return;
      auto req = velkor::json::parse(line);
      std::string reply = R"({"id":)" + req->value["id"].dump() + R"(,"ok":true,"data":{}})" "\n";
      (void)velkor::ipc::write_all_fd(fd, reply);
    }
  });
  for (auto _ : state) {
    benchmark::DoNotOptimize(session.call_inner("page_click", 7, Json{{"ref", "e1"}}));
  }
  session.disconnect();
  ::shutdown(fds[1], SHUT_RDWR);
  extension.join();
  ::close(fds[1]);
}
BENCHMARK(BM_SessionCallRoundTrip)->UseRealTime();

void BM_ScreenshotVerify(benchmark::State& state) {
  const std::size_t size = 11534336;
  std::string png = "\x89PNG\r\n\x1a\n";
  png.resize(size, 'p');
  const std::string digest = velkor::broker::screenshot::sha256_hex(png);
  const std::uint64_t chunk = 262144;
  Json description = {{"captureId", "c"},   {"sha256", digest}, {"size", size},
                      {"chunkSize", chunk}, {"mime", "image/png"}};
  auto read_chunk = [&](Json req) -> velkor::Result<Json, std::string> {
    std::uint64_t offset = req["offset"].get<std::uint64_t>();
    std::uint64_t n = std::min<std::uint64_t>(chunk, size - offset);
    return Json{{"base64", velkor::broker::screenshot::base64_encode(png.substr(offset, n))},
                {"offset", offset},
                {"nextOffset", offset + n},
                {"eof", offset + n == size}};
  };
  for (auto _ : state) {
    benchmark::DoNotOptimize(velkor::broker::screenshot::receive(description, read_chunk, "s"));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}
BENCHMARK(BM_ScreenshotVerify)->Unit(benchmark::kMillisecond);

}  // namespace
