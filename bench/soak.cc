// Soak: the broker under agents, killed and restarted peers and hostile
// local neighbours at once. Reports unanswered calls, failures with a text
// the system does not have, how long a new agent waits for its first
// answer, and whether the broker gave back the descriptors, threads and
// staging folders the load made it take.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "broker/client.h"
#include "broker/runtime.h"
#include "broker/screenshot/screenshot.h"
#include "broker/tools/response.h"
#include "broker/tools/tool.h"
#include "common.h"
#include "ipc/lock_file.h"
#include "protocol/json.h"
#include "support/peers.h"
#include "support/process.h"
#include "support/raw_socket.h"
#include "support/temp_dir.h"

namespace velkor::bench {
namespace {

using protocol::json::Json;
using test::Child;
using test::Env;
using test::FakeAgent;
using test::FakeExtension;
using test::RawSocket;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kUsage[] = "usage: soak [--seconds N] [--agents N] [--extensions N] [--seed N]\n";
// The broker waits 120 s for an extension; an answer missing for longer
// than that and a margin is the broker's own fault.
constexpr std::chrono::seconds kHangBound = 130s;
constexpr std::chrono::seconds kInitializeBound = 10s;
// The line cap itself (16 MiB) would cost too much on two shared cores.
constexpr std::size_t kOversizeBytes = 2 << 20;
constexpr char kWrongHello[] = "{\"hello\":\"00000000000000000000000000000000\"}\n";
// A descriptor or two and a thread may still be on their way out when the
// last settling poll looks.
constexpr std::size_t kSlackDescriptors = 2;
constexpr std::size_t kSlackThreads = 1;

struct Options {
  std::uint64_t seconds = 60;
  std::uint64_t agents = 8;
  std::uint64_t extensions = 3;
  std::uint64_t seed = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
};

// nullopt on an option it does not know or a value out of range.
std::optional<Options> parse_options(int argc, char** argv) {
  Options options;
  const Flag flags[] = {{"--seconds", &options.seconds, 1, 7 * 24 * 3600},
                        {"--agents", &options.agents, 1, 64},
                        {"--extensions", &options.extensions, 0, 16},
                        {"--seed", &options.seed, 0, UINT64_MAX}};
  if (!parse_flags(argc, argv, flags)) return std::nullopt;
  return options;
}

// The flag that ends the load, with pauses that end as soon as it rises.
// Thread-safe.
class StopFlag {
 public:
  void raise() {
    MutexLock lock(&mu_);
    raised_ = true;
    cv_.signal_all();
  }
  bool raised() {
    MutexLock lock(&mu_);
    return raised_;
  }
  // Waits `duration` or until the flag rises; true when it has risen.
  bool pause(std::chrono::milliseconds duration) {
    const Clock::time_point deadline = Clock::now() + duration;
    MutexLock lock(&mu_);
    while (!raised_ && cv_.wait_until(&mu_, deadline)) {
    }
    return raised_;
  }

 private:
  Mutex mu_;
  CondVar cv_;
  bool raised_ VELKOR_GUARDED_BY(mu_) = false;
};

// What the load saw. Every load thread adds to it; thread-safe.
class Counters {
 public:
  std::atomic<std::uint64_t> calls{0}, ok{0}, known_errors{0}, unknown_errors{0}, hangs{0};
  std::atomic<std::uint64_t> cut_off{0};  // the chaos thread killed the relay under the call
  std::atomic<std::uint64_t> extension_restarts{0}, relay_kills{0}, neighbour_connections{0};

  // Counts an unknown error and keeps the first few examples.
  void add_unknown(std::string example) {
    ++unknown_errors;
    example.resize(std::min<std::size_t>(example.size(), 300));
    MutexLock lock(&mu_);
    if (examples_.size() < 5) examples_.push_back(std::move(example));
  }
  std::vector<std::string> examples() {
    MutexLock lock(&mu_);
    return examples_;
  }

 private:
  Mutex mu_;
  std::vector<std::string> examples_ VELKOR_GUARDED_BY(mu_);
};

std::string first_text(const Json& result) {
  const Json& content = member(result, "content");
  if (!content.is_array() || content.empty()) return {};
  const std::string* text = protocol::json::find_string(content.front(), "text");
  return text != nullptr ? *text : std::string();
}

std::string last_line(std::string_view text) {
  while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  const std::size_t at = text.rfind('\n');
  return std::string(at == std::string_view::npos ? text : text.substr(at + 1));
}

// Whether a failed call carries one of the system's own texts. The broker's
// are taken from its constants, so that a change of wording is no failure.
bool is_known_error(std::string_view text) {
  static constexpr auto kTexts = std::to_array<std::string_view>(
      {"extension connection lost while waiting for response", "unknown error",
       broker::kConnectExtension, broker::kChooseBrowser, broker::kBrowserGone,
       broker::kSessionIdNotConfirmed, broker::kTabNotConfirmed, broker::kNotYourSession,
       broker::kUploadFailed, broker::kStoppedMessage, broker::tools::kArgumentsNotObject,
       broker::tools::kUnknownTool, broker::tools::kUnknownArgument,
       broker::tools::kMissingSessionId, broker::tools::kMissingSelection,
       broker::tools::kInvalidBrowserOrTab, broker::tools::kOversizeAnswer,
       broker::screenshot::kIncomplete});
  // These go on with advice, a figure or an OS error.
  static constexpr std::array<std::string_view, 3> kPrefixes = {"browser extension not connected.",
                                                                "extension did not respond within ",
                                                                "write to extension failed: "};
  return std::find(kTexts.begin(), kTexts.end(), text) != kTexts.end() ||
         std::any_of(kPrefixes.begin(), kPrefixes.end(), [&](std::string_view prefix) {
           return text.substr(0, prefix.size()) == prefix;
         });
}

bool initialize(FakeAgent& agent) {
  std::optional<Json> answer = agent.request("initialize", initialize_params(), kInitializeBound);
  return answer && member(*answer, "result").is_object();
}

// A stand-in extension announced as "Soak <index + 1>", serving the default
// answers. A refused announce is an unknown error: nothing in the load may
// keep an extension out.
std::unique_ptr<FakeExtension> start_extension(const std::string& base, std::size_t index,
                                               Counters& counters) {
  const std::string name = "Soak " + std::to_string(index + 1);
  auto extension = std::make_unique<FakeExtension>(base, quiet_env());
  std::optional<Json> reply = extension->announce_default(name);
  if (!reply || !is_true(member(member(*reply, "data"), "ready"))) {
    counters.add_unknown(name + ": announce not accepted");
  }
  extension->serve();
  return extension;
}

// One agent's relay. Its worker thread owns it while the load runs, main
// before and after; the chaos thread may only kill it. `mu_` orders every
// kill before the reaping, so no signal reaches a process id the kernel has
// handed on.
class AgentSlot {
 public:
  FakeAgent& agent() { return *agent_; }
  void replace(const std::string& base) {
    retire();
    agent_ = nullptr;
    agent_ = std::make_unique<FakeAgent>(base, quiet_env());
    MutexLock lock(&mu_);
    pid_ = agent_->child().pid();
  }
  // Puts the relay out of the chaos thread's reach, so that it may be
  // reaped; true when the chaos thread had killed it.
  bool retire() {
    MutexLock lock(&mu_);
    pid_ = -1;
    return std::exchange(killed_, false);
  }
  // False when there is no relay to kill.
  bool kill() {
    MutexLock lock(&mu_);
    if (pid_ <= 0) return false;
    ::kill(pid_, SIGKILL);
    killed_ = true;
    return true;
  }

 private:
  Mutex mu_;
  pid_t pid_ VELKOR_GUARDED_BY(mu_) = -1;
  bool killed_ VELKOR_GUARDED_BY(mu_) = false;
  std::unique_ptr<FakeAgent> agent_;
};

// Drives one slot's relay through browser rounds until the load stops, and
// replaces the relay whenever it is gone. Owned by its thread.
class AgentWorker {
 public:
  AgentWorker(AgentSlot& slot, std::string base, Counters& counters, std::uint64_t seed)
      : slot_(slot), base_(std::move(base)), counters_(counters), rng_(seed) {}

  void run(StopFlag& stop) {
    bool fresh = false;  // main initialised the first relay
    while (!stop.raised()) {
      const bool alive =
          fresh ? call("initialize", "initialize", initialize_params()).answered : round(stop);
      fresh = !alive;
      if (!alive) {
        slot_.replace(base_);
        // A relay that cannot connect would otherwise respawn in a tight loop.
        stop.pause(50ms);
      }
    }
  }

 private:
  struct Reply {
    bool answered = false;       // false: the relay is gone or hung
    std::optional<Json> result;  // set when the call succeeded
  };

  // List, start, a few page calls, stop. False when the relay must go.
  bool round(StopFlag& stop) {
    Reply tabs = tool("browser_tabs", Json::object());
    if (!tabs.answered) return false;
    Json start = Json::object();
    if (std::optional<std::string> browser = pick_browser(tabs.result)) {
      start["browserId"] = *browser;
    }
    Reply started = tool("browser_start", std::move(start));
    if (!started.answered) return false;
    const std::string* session =
        started.result
            ? protocol::json::find_string(member(*started.result, "structuredContent"), "sessionId")
            : nullptr;
    if (session == nullptr) return true;
    const Json session_args = {{"sessionId", *session}};
    static constexpr std::array<const char*, 4> kPageTools = {
        "browser_click", "browser_text", "browser_screenshot", "browser_files"};
    for (std::uint64_t n = 1 + rng_() % 4; n > 0 && !stop.raised(); --n) {
      const std::string name = kPageTools[rng_() % kPageTools.size()];
      if (!tool(name, name == "browser_files" ? Json::object() : session_args).answered) {
        return false;
      }
    }
    return tool("browser_stop", session_args).answered;
  }

  std::optional<std::string> pick_browser(const std::optional<Json>& tabs) {
    if (!tabs) return std::nullopt;
    const Json& browsers = member(member(*tabs, "structuredContent"), "browsers");
    if (!browsers.is_array()) return std::nullopt;
    std::vector<std::string> ids;
    for (const Json& entry : browsers) {
      if (const std::string* id = protocol::json::find_string(member(entry, "browser"), "id")) {
        ids.push_back(*id);
      }
    }
    if (ids.empty()) return std::nullopt;
    return ids[rng_() % ids.size()];
  }

  Reply tool(const std::string& name, Json arguments) {
    return call(name, "tools/call", Json{{"name", name}, {"arguments", std::move(arguments)}});
  }

  Reply call(const std::string& what, const std::string& method, Json params) {
    ++counters_.calls;
    FakeAgent& agent = slot_.agent();
    const Clock::time_point sent = Clock::now();
    const std::int64_t id = agent.send_request(method, std::move(params));
    std::optional<std::string> line = agent.child().read_stdout_line(kHangBound);
    if (line) return {true, classify(what, id, *line)};
    if (Clock::now() - sent >= kHangBound) {
      ++counters_.hangs;
    } else if (slot_.retire()) {
      ++counters_.cut_off;
    } else {
      Child& relay = agent.child();
      const std::optional<int> status = relay.wait(2s);
      counters_.add_unknown(what + ": relay ended, status " +
                            (status ? std::to_string(*status) : "unknown") + ": " +
                            last_line(relay.stderr_text()));
    }
    return {};
  }

  // Counts one answer line; returns the result of a call that succeeded.
  std::optional<Json> classify(const std::string& what, std::int64_t id, const std::string& line) {
    auto parsed = protocol::json::parse(line);
    const Json answer = parsed ? std::move(parsed->value) : Json();
    const Json& result = member(answer, "result");
    if (protocol::json::as_i64(member(answer, "id")) != id || !result.is_object()) {
      counters_.add_unknown(what + ": " + line);
    } else if (!is_true(member(result, "isError"))) {
      ++counters_.ok;
      return result;
    } else if (is_known_error(first_text(result))) {
      ++counters_.known_errors;
    } else {
      counters_.add_unknown(what + ": " + first_text(result));
    }
    return std::nullopt;
  }

  AgentSlot& slot_;
  const std::string base_;
  Counters& counters_;
  std::mt19937_64 rng_;
};

// Other local processes at the broker's port: silent, flooding, without the
// secret, or with it and then a line far too long. Every action is bounded
// in connections and time. Owned by its thread.
class Neighbours {
 public:
  Neighbours(std::uint16_t port, std::string secret, StopFlag& stop, Counters& counters,
             std::uint64_t seed)
      : port_(port), secret_(std::move(secret)), stop_(stop), counters_(counters), rng_(seed) {}

  void run() {
    while (!stop_.pause(std::chrono::milliseconds(100 + rng_() % 400))) {
      const std::uint64_t pick = rng_() % 8;
      if (pick < 2) {
        hold(20, std::chrono::milliseconds(1000 + rng_() % 3000));  // across the hello deadline
      } else if (pick < 4) {
        hold(100, 0ms);
      } else if (pick < 7) {
        for (int i = 0; i < 20 && !stop_.raised(); ++i) send_and_leave(bad_hello(), 1s);
      } else {
        send_and_leave(oversize_line(), 10s);
      }
    }
  }

 private:
  // A loopback connection whose connect and writes give up after 5 s, so
  // that a full accept queue or a broker that stops reading cannot hold
  // this thread past the end of the load.
  std::optional<RawSocket> connect() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    RawSocket socket(fd);
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      return std::nullopt;
    }
    ++counters_.neighbour_connections;
    return socket;
  }

  void hold(int count, std::chrono::milliseconds how_long) {
    std::vector<RawSocket> held;
    for (int i = 0; i < count && !stop_.raised(); ++i) {
      if (std::optional<RawSocket> socket = connect()) held.push_back(std::move(*socket));
    }
    stop_.pause(how_long);
  }

  // Sends `bytes` and gives the broker `wait` to hang up.
  void send_and_leave(std::string_view bytes, std::chrono::milliseconds wait) {
    std::optional<RawSocket> socket = connect();
    if (!socket) return;
    socket->write(bytes);
    socket->shutdown_write();
    socket->read_to_eof(wait);
  }

  // A wrong secret, the right one in a line over 256 bytes (so that only
  // the length can refuse it), or random bytes.
  std::string bad_hello() {
    if (rng_() % 3 == 0) return kWrongHello;
    if (rng_() % 2 == 0) {
      return "{\"hello\":\"" + secret_ + "\",\"pad\":\"" + std::string(300, 'x') + "\"}\n";
    }
    std::string bytes(1 + rng_() % 4096, '\0');
    for (char& c : bytes) c = static_cast<char>(rng_());
    return bytes;
  }

  // A line of 2 MiB after a refused hello, or after an accepted one: not
  // JSON, a call with a huge argument, or never ended.
  std::string oversize_line() {
    const std::string pad(kOversizeBytes, 'x');
    const std::string hello = "{\"hello\":\"" + secret_ + "\",\"role\":\"mcp\"}\n";
    switch (rng_() % 4) {
      case 0:
        return kWrongHello + pad + "\n";
      case 1:
        return hello + pad + "\n";
      case 2:
        return hello + "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"tools/call\",\"params\":" +
               "{\"name\":\"browser_click\",\"arguments\":{\"sessionId\":\"" + pad + "\"}}}\n";
      default:
        return hello + pad;
    }
  }

  const std::uint16_t port_;
  const std::string secret_;
  StopFlag& stop_;
  Counters& counters_;
  std::mt19937_64 rng_;
};

// Every 200 ms, the time from spawning a relay to its answered "initialize".
void probe_latency(const std::string& base, StopFlag& stop, Counters& counters,
                   std::vector<double>& samples) {
  while (!stop.pause(200ms)) {
    const Clock::time_point start = Clock::now();
    FakeAgent probe(base, quiet_env());
    if (!initialize(probe)) {
      counters.add_unknown("probe: no answer to initialize within 10 s");
      continue;
    }
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
}

// Every 0.5-2 s kills one peer: an extension, started again at once, or an
// agent's relay, which its worker replaces.
void run_chaos(std::vector<std::unique_ptr<FakeExtension>>& extensions,
               std::vector<std::unique_ptr<AgentSlot>>& slots, const std::string& base,
               StopFlag& stop, Counters& counters, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  while (!stop.pause(std::chrono::milliseconds(500 + rng() % 1501))) {
    if (!extensions.empty() && rng() % 2 == 0) {
      const std::size_t i = rng() % extensions.size();
      extensions[i] = nullptr;  // gone before its successor starts, as in a browser restart
      extensions[i] = start_extension(base, i, counters);
      ++counters.extension_restarts;
    } else if (slots[rng() % slots.size()]->kill()) {
      ++counters.relay_kills;
    }
  }
}

// The load threads. Destroyed before the peers they drive: raises the flag,
// then joins in the order the threads started.
class LoadThreads {
 public:
  explicit LoadThreads(StopFlag& stop) : stop_(stop) {}
  LoadThreads(const LoadThreads&) = delete;
  LoadThreads& operator=(const LoadThreads&) = delete;
  ~LoadThreads() {
    stop_.raise();
    for (std::jthread& thread : threads_) thread.join();
  }
  void start(std::function<void()> body) { threads_.emplace_back(std::move(body)); }

 private:
  StopFlag& stop_;
  std::vector<std::jthread> threads_;
};

struct Resources {
  std::size_t descriptors = 0, threads = 0, staging = 0, rss_kb = 0;
};

std::size_t number_in(std::string_view line) {
  const std::size_t at = line.find_first_of("0123456789");
  if (at == std::string_view::npos) return 0;
  std::size_t value = 0;
  auto parsed = std::from_chars(line.data() + at, line.data() + line.size(), value);
  return parsed.ec == std::errc() ? value : 0;
}

// nullopt once the broker is gone: a dead process has no VmRSS.
std::optional<Resources> measure(pid_t pid, const std::string& runtime_dir) {
  Resources now;
  const std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream status(proc + "/status");
  bool alive = false;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) now.threads = number_in(line);
    if (line.rfind("VmRSS:", 0) == 0) {
      now.rss_kb = number_in(line);
      alive = true;
    }
  }
  if (!alive) return std::nullopt;
  now.descriptors = test::list_dir(proc + "/fd").size();
  for (const std::string& name : test::list_dir(runtime_dir)) {
    if (name.rfind("selected-", 0) == 0) ++now.staging;
  }
  return now;
}

bool within_slack(const Resources& before, const Resources& after) {
  return after.descriptors <= before.descriptors + kSlackDescriptors &&
         after.threads <= before.threads + kSlackThreads && after.staging <= before.staging;
}

// Polls for up to 10 s until the broker is back within the slack.
std::optional<Resources> settle(pid_t pid, const std::string& runtime_dir,
                                const Resources& before) {
  const Clock::time_point deadline = Clock::now() + 10s;
  for (;;) {
    std::optional<Resources> now = measure(pid, runtime_dir);
    if (!now || within_slack(before, *now) || Clock::now() >= deadline) return now;
    // The broker announces no "idle"; /proc is all there is to watch.
    std::this_thread::sleep_for(100ms);
  }
}

// Prints the report; returns the exit status.
int report(const Options& options, Counters& counters, std::vector<double> latencies,
           const Resources& before, const std::optional<Resources>& after,
           std::optional<int> broker_status) {
  std::cout << std::fixed << std::setprecision(1) << "seed " << options.seed << '\n'
            << "calls made " << counters.calls.load() << '\n'
            << "answered ok " << counters.ok.load() << '\n'
            << "known errors " << counters.known_errors.load() << '\n'
            << "unknown errors " << counters.unknown_errors.load() << '\n';
  for (const std::string& example : counters.examples()) std::cout << "  " << example << '\n';
  std::cout << "hangs " << counters.hangs.load() << '\n'
            << "calls cut off by a killed relay " << counters.cut_off.load() << '\n'
            << "extension restarts " << counters.extension_restarts.load() << '\n'
            << "relay kills " << counters.relay_kills.load() << '\n'
            << "neighbour connections " << counters.neighbour_connections.load() << '\n';
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    std::cout << "connect latency p50 " << percentile_of_sorted(latencies, 50) << " ms\n"
              << "connect latency p99 " << percentile_of_sorted(latencies, 99) << " ms\n"
              << "connect latency max " << latencies.back() << " ms\n";
  }
  std::cout << "connect latency samples " << latencies.size() << '\n';
  if (after) {
    std::cout << "broker descriptors " << before.descriptors << " -> " << after->descriptors << '\n'
              << "broker threads " << before.threads << " -> " << after->threads << '\n'
              << "staging folders " << before.staging << " -> " << after->staging << '\n'
              << "broker RSS " << before.rss_kb << " kB -> " << after->rss_kb << " kB\n";
  } else {
    std::cout << "broker gone before the second measurement\n";
  }
  std::cout << "broker exit status " << (broker_status ? std::to_string(*broker_status) : "none")
            << '\n';
  const bool pass = counters.hangs.load() == 0 && counters.unknown_errors.load() == 0 && after &&
                    within_slack(before, *after) && broker_status == 0;
  std::cout << "result " << (pass ? "pass" : "FAIL") << '\n';
  return pass ? 0 : 1;
}

int run(const Options& options) {
  test::TempDir dir;
  const std::string base = dir.path();
  const std::string upload = dir.file("notes.txt");
  if (!(std::ofstream(upload) << "soak upload\n")) {
    std::cerr << "soak: cannot write " << upload << '\n';
    return 1;
  }
  test::BrokerProcess broker(base, {"--upload-file", upload}, quiet_env());
  const std::optional<ipc::LockFile> lock = broker.lock();
  if (!broker.ready() || !lock) {
    std::cerr << "soak: the broker did not start\n" << broker.child().stderr_text();
    return 1;
  }
  const pid_t broker_pid = broker.child().pid();

  StopFlag stop;
  Counters counters;
  std::vector<std::unique_ptr<FakeExtension>> extensions;
  for (std::size_t i = 0; i < options.extensions; ++i) {
    extensions.push_back(start_extension(base, i, counters));
  }
  std::vector<std::unique_ptr<AgentSlot>> slots;
  for (std::size_t i = 0; i < options.agents; ++i) {
    slots.push_back(std::make_unique<AgentSlot>());
    slots.back()->replace(base);
  }
  // Before the load and again after it, so that both measurements see the
  // same peers connected: the chaos may have left a slot's relay dead.
  auto ready_agents = [&] {
    for (std::unique_ptr<AgentSlot>& slot : slots) {
      if (initialize(slot->agent())) continue;
      slot->replace(base);
      if (!initialize(slot->agent())) counters.add_unknown("agent: no answer to initialize");
    }
  };
  ready_agents();
  const std::optional<Resources> before = measure(broker_pid, broker.runtime_dir());
  if (!before) {
    std::cerr << "soak: the broker died during setup\n";
    return 1;
  }

  std::cerr << "soak: " << options.seconds << " s, " << options.agents << " agents, "
            << options.extensions << " extensions, seed " << options.seed << '\n';
  std::vector<double> latencies;
  {
    LoadThreads load(stop);
    load.start(
        [&] { Neighbours(lock->port, lock->secret, stop, counters, options.seed + 1).run(); });
    load.start([&] { probe_latency(base, stop, counters, latencies); });
    load.start([&] { run_chaos(extensions, slots, base, stop, counters, options.seed + 2); });
    for (std::size_t i = 0; i < slots.size(); ++i) {
      load.start(
          [&, i] { AgentWorker(*slots[i], base, counters, options.seed + 3 + i).run(stop); });
    }
    stop.pause(std::chrono::seconds(options.seconds));
  }

  ready_agents();
  const std::optional<Resources> after = settle(broker_pid, broker.runtime_dir(), *before);
  slots.clear();
  extensions.clear();
  const std::optional<int> broker_status = broker.stop();
  return report(options, counters, std::move(latencies), *before, after, broker_status);
}

}  // namespace
}  // namespace velkor::bench

int main(int argc, char** argv) {
  const std::optional<velkor::bench::Options> options = velkor::bench::parse_options(argc, argv);
  if (!options) {
    std::fputs(velkor::bench::kUsage, stderr);
    return 2;
  }
  // Relays and native hosts die under the chaos; a write to a closed pipe
  // must fail as a value, not end the soak.
  ::signal(SIGPIPE, SIG_IGN);
  return velkor::bench::run(*options);
}
