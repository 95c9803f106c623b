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
//
// A screenshot's own hops are measured apart, with bytes per second, so
// that the slowest stage of the end-to-end figure can be found: a chunk
// reply through our JSON path and through nlohmann's for comparison,
// base64 both ways, and the 15 MiB answer line the broker writes and the
// relay passes on.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "broker/screenshot/base64.h"
#include "broker/screenshot/screenshot.h"
#include "error/result.h"
#include "ipc/fd.h"
#include "protocol/bridge.h"
#include "protocol/json.h"
#include "protocol/mcp.h"
#include "protocol/native_messaging.h"
#include "protocol/stream.h"
#include "session/session.h"

namespace {

using velkor::protocol::json::Json;
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
  // Appended, not added: g++ 12 at -O2 warns falsely (-Wrestrict) where
  // operator+ puts a literal in front of a temporary.
  std::string line = R"({"id":17,"ok":true,"data":{"text":")";
  line.append(static_cast<std::size_t>(state.range(0)), 'x');
  line += "\"}}\n";
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
  session.attach_authenticated(std::make_unique<protocol::BufReader>(
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
      auto req = velkor::protocol::json::parse(line);
      std::string reply = R"({"id":)";
      reply += req->value["id"].dump();
      reply += ",\"ok\":true,\"data\":{}}\n";
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
  Json description = {{"captureId", "c"},
                      {"sha256", digest},
                      {"size", size},
                      {"chunkSize", chunk},
                      {"mime", "image/png"}};
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

namespace screenshot = velkor::broker::screenshot;

// The largest capture the broker takes, in the largest chunks it accepts.
constexpr std::size_t kShotBytes = screenshot::kMaxSize;
constexpr std::size_t kChunkBytes = screenshot::kMaxChunkSize;

// PNG-signed bytes whose base64 uses the whole alphabet, as a real image's
// does; a run of one byte value would flatter a codec that branches.
std::string image(std::size_t size) {
  std::string out = "\x89PNG\r\n\x1a\n";
  for (std::size_t i = out.size(); i < size; ++i) out += static_cast<char>((i * 31 + 7) & 0xFF);
  out.resize(size);
  return out;
}

// Built once: the benchmark library calls each function several times.
const std::string& shot() {
  static const std::string bytes = image(kShotBytes);
  return bytes;
}

const std::string& chunk_base64() {
  static const std::string text =
      screenshot::base64_encode(std::string_view(shot()).substr(kChunkBytes, kChunkBytes));
  return text;
}

// A chunk reply as the extension writes it, members in its order.
const std::string& chunk_reply_line() {
  static const std::string line = [] {
    std::string out = R"({"id":12,"ok":true,"data":{"base64":")";
    out += chunk_base64();
    out += R"(","eof":false,"nextOffset":)";
    out += std::to_string(2 * kChunkBytes);
    out += R"(,"offset":)";
    out += std::to_string(kChunkBytes);
    out += "}}";
    return out;
  }();
  return line;
}

// The broker's answer to "browser_screenshot", as serialize_jsonrpc writes
// it and as the relay passes it on.
const std::string& screenshot_answer_line() {
  static const std::string line = [] {
    Json result = {{"content", Json::array({{{"data", screenshot::base64_encode(shot())},
                                             {"mimeType", "image/png"},
                                             {"type", "image"}}})},
                   {"structuredContent",
                    {{"sha256", screenshot::sha256_hex(shot())}, {"size", shot().size()}}}};
    return protocol::serialize_jsonrpc(protocol::JsonRpc::ok(7, std::move(result)));
  }();
  return line;
}

using ParseFn = velkor::Result<velkor::protocol::json::Parsed> (*)(std::string_view);
using DumpFn = std::string (*)(const Json&);

void BM_ChunkReplyParse(benchmark::State& state, ParseFn parse) {
  const std::string& line = chunk_reply_line();
  for (auto _ : state) {
    benchmark::DoNotOptimize(parse(line));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}
BENCHMARK_CAPTURE(BM_ChunkReplyParse, fast, &velkor::protocol::json::parse);
BENCHMARK_CAPTURE(BM_ChunkReplyParse, general, &velkor::protocol::json::parse_general);

void BM_ChunkReplyDump(benchmark::State& state, DumpFn dump) {
  const std::string& line = chunk_reply_line();
  const Json value = velkor::protocol::json::parse(line)->value;
  for (auto _ : state) {
    benchmark::DoNotOptimize(dump(value));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}
BENCHMARK_CAPTURE(BM_ChunkReplyDump, fast, &velkor::protocol::json::dump);
BENCHMARK_CAPTURE(BM_ChunkReplyDump, general, &velkor::protocol::json::dump_general);

void BM_ScreenshotAnswerParse(benchmark::State& state) {
  const std::string& line = screenshot_answer_line();
  for (auto _ : state) {
    benchmark::DoNotOptimize(protocol::parse_jsonrpc(line));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}
BENCHMARK(BM_ScreenshotAnswerParse)->Unit(benchmark::kMillisecond);

void BM_ScreenshotAnswerSerialize(benchmark::State& state) {
  const std::string& line = screenshot_answer_line();
  const protocol::JsonRpc message = *protocol::parse_jsonrpc(line);
  for (auto _ : state) {
    benchmark::DoNotOptimize(protocol::serialize_jsonrpc(message));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}
BENCHMARK(BM_ScreenshotAnswerSerialize)->Unit(benchmark::kMillisecond);

// Hands out a borrowed text the way a pipe would, in reads of at most the
// size asked for. Owned by one benchmark iteration; `text` outlives it.
class ViewSource : public protocol::Source {
 public:
  explicit ViewSource(std::string_view text) : text_(text) {}
  velkor::Result<std::size_t> read_some(char* buf, std::size_t n) override {
    const std::size_t take = std::min(n, text_.size());
    std::memcpy(buf, text_.data(), take);
    text_.remove_prefix(take);
    return take;
  }

 private:
  std::string_view text_;
};

// Counts what it is given and keeps none of it, as a pipe to the agent would.
class CountingSink : public protocol::Sink {
 public:
  velkor::Result<void> write_all(std::string_view bytes) override {
    written_ += bytes.size();
    return {};
  }
  std::size_t written() const { return written_; }

 private:
  std::size_t written_ = 0;
};

// The relay's whole work on the screenshot's answer: read the line from the
// broker and pass it on to the agent.
void BM_McpRelayScreenshotAnswer(benchmark::State& state) {
  const std::string line = screenshot_answer_line() + "\n";
  for (auto _ : state) {
    protocol::BufReader in(std::make_unique<ViewSource>(line));
    CountingSink out;
    benchmark::DoNotOptimize(protocol::mcp_relay(in, out));
    benchmark::DoNotOptimize(out.written());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}
BENCHMARK(BM_McpRelayScreenshotAnswer)->Unit(benchmark::kMillisecond);

// One chunk's base64 into the broker's image buffer, whose room is already
// there as it is for every chunk after the first.
void BM_Base64DecodeChunk(benchmark::State& state) {
  const std::string& text = chunk_base64();
  std::string out;
  out.reserve(kChunkBytes);
  for (auto _ : state) {
    out.clear();
    benchmark::DoNotOptimize(screenshot::base64_decode_append(text, out));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_Base64DecodeChunk);

// The whole image into the answer's base64, written in place.
void BM_Base64EncodeShot(benchmark::State& state) {
  const std::string& bytes = shot();
  std::string out(screenshot::base64_encoded_size(bytes.size()), '\0');
  for (auto _ : state) {
    screenshot::base64_encode_to(bytes, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_Base64EncodeShot)->Unit(benchmark::kMillisecond);

}  // namespace
