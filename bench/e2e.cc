// End to end figures through the real processes: agents through their own
// `mcp` relays, the broker, one native host and a stand-in extension that
// answers at once. They are the figures the release harness takes, so that
// a change can be weighed on a developer's machine first. It reports and
// judges nothing but whether every call succeeded.
#include <signal.h>
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
#include <iomanip>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "broker/screenshot/base64.h"
#include "broker/screenshot/screenshot.h"
#include "common.h"
#include "protocol/json.h"
#include "support/peers.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace velkor::bench {
namespace {

using protocol::json::Json;
using test::Child;
using test::Env;
using test::FakeAgent;
using test::FakeExtension;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kUsage[] =
    "usage: e2e [--rounds N] [--spawns N] [--pings N] [--clicks N] [--shots N]\n"
    "           [--shot-bytes N] [--jobs N] [--seconds N]\n";
// The largest chunk the broker accepts, as the browser's extension asks.
constexpr std::uint64_t kChunkBytes = broker::screenshot::kMaxChunkSize;
// Far beyond any figure worth reporting: a call still unanswered then has
// failed, and the relay's stream can no longer be trusted.
constexpr std::chrono::seconds kCallBound = 30s;
// Request ids of our own, clear of those FakeAgent numbers from 1.
constexpr std::int64_t kFirstId = 1000000;
constexpr double kNoFigure = std::numeric_limits<double>::quiet_NaN();

struct Options {
  std::uint64_t rounds = 1;
  std::uint64_t spawns = 20;
  std::uint64_t pings = 2000;
  std::uint64_t clicks = 2000;
  std::uint64_t shots = 5;
  std::uint64_t shot_bytes = broker::screenshot::kMaxSize;
  std::uint64_t jobs = 16;
  std::uint64_t seconds = 3;
};

// nullopt on an option it does not know or a value out of range.
std::optional<Options> parse_options(int argc, char** argv) {
  Options options;
  const Flag flags[] = {{"--rounds", &options.rounds, 1, 100},
                        {"--spawns", &options.spawns, 1, 100000},
                        {"--pings", &options.pings, 1, 10000000},
                        {"--clicks", &options.clicks, 1, 10000000},
                        {"--shots", &options.shots, 1, 10000},
                        {"--shot-bytes", &options.shot_bytes, broker::screenshot::kMinSize,
                         broker::screenshot::kMaxSize},
                        {"--jobs", &options.jobs, 1, 64},
                        {"--seconds", &options.seconds, 1, 3600}};
  if (!parse_flags(argc, argv, flags)) return std::nullopt;
  return options;
}

// Calls that failed, with the first few texts. Every load thread adds to
// it; thread-safe.
class Failures {
 public:
  void add(std::string what) {
    what.resize(std::min<std::size_t>(what.size(), 300));
    MutexLock lock(&mu_);
    ++count_;
    if (examples_.size() < 5) examples_.push_back(std::move(what));
  }
  std::uint64_t count() {
    MutexLock lock(&mu_);
    return count_;
  }
  std::vector<std::string> examples() {
    MutexLock lock(&mu_);
    return examples_;
  }

 private:
  Mutex mu_;
  std::uint64_t count_ VELKOR_GUARDED_BY(mu_) = 0;
  std::vector<std::string> examples_ VELKOR_GUARDED_BY(mu_);
};

// "what: detail", built by appending only: g++ 12 at -O2 warns falsely
// (-Wrestrict) where operator+ inserts a literal in front of a temporary.
std::string failure_text(std::string_view what, std::string_view detail) {
  std::string text(what);
  text += ": ";
  text += detail;
  return text;
}

double millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Nearest rank; kNoFigure without samples.
double percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return kNoFigure;
  std::sort(samples.begin(), samples.end());
  return percentile_of_sorted(samples, p);
}

// A kB figure of /proc/PID/status ("VmRSS", "VmHWM"); 0 when the process
// or the figure is gone, which no live process reports.
std::uint64_t status_kb(pid_t pid, std::string_view field) {
  const std::string prefix = std::string(field) + ":";
  std::string path = "/proc/";
  path += std::to_string(pid);
  path += "/status";
  std::ifstream status(path);
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(prefix, 0) != 0) continue;
    const std::size_t at = line.find_first_of("0123456789");
    std::uint64_t value = 0;
    if (at == std::string::npos) return 0;
    auto parsed = std::from_chars(line.data() + at, line.data() + line.size(), value);
    return parsed.ec == std::errc() ? value : 0;
  }
  return 0;
}

// The next line of the child's standard output, in time linear in its
// length. Child::read_stdout_line searches everything buffered after every
// pipe read, which for a 15 MiB answer costs more than the transfer; this
// takes the buffered bytes as they come and searches only new ones.
// nullopt at `deadline` or at end of output.
std::optional<std::string> read_long_line(Child& child, Clock::time_point deadline,
                                          std::size_t expected_size) {
  std::string line;
  line.reserve(expected_size);
  for (;;) {
    const std::string& buffered = child.stdout_rest();
    if (buffered.find('\n') != std::string::npos) {
      std::optional<std::string> tail = child.read_stdout_line(0ms);
      if (!tail) return std::nullopt;
      line += *tail;
      return line;
    }
    // What is buffered and one byte more: at most one more pipe read.
    std::optional<std::string> piece = child.read_stdout(
        buffered.size() + 1, std::chrono::milliseconds(test::millis_until(deadline)));
    if (!piece) return std::nullopt;
    const bool ends = piece->back() == '\n';
    if (ends) piece->pop_back();
    line += *piece;
    if (ends) return line;
  }
}

// A "tools/call" line with "jsonrpc" first, as ping_line writes its own.
std::string tool_line(std::int64_t id, const std::string& name, const std::string& session) {
  std::string line = R"({"jsonrpc":"2.0","id":)";
  line += std::to_string(id);
  line += R"(,"method":"tools/call","params":)";
  protocol::json::dump_to(line, Json{{"arguments", {{"sessionId", session}}}, {"name", name}});
  line += '}';
  return line;
}

// A relay that has answered "initialize"; nullptr, counting a failure,
// when it has not.
std::unique_ptr<FakeAgent> connect_agent(const std::string& base, Failures& failures) {
  auto agent = std::make_unique<FakeAgent>(base, quiet_env());
  std::optional<Json> answer = agent->request("initialize", initialize_params(), kCallBound);
  if (answer && member(*answer, "result").is_object()) return agent;
  failures.add(failure_text("initialize", answer ? protocol::json::dump(*answer) : "no answer"));
  return nullptr;
}

// A session started through `agent`; "" after a failure, which is counted.
std::string start_session(FakeAgent& agent, Failures& failures) {
  std::optional<Json> result = agent.tool("browser_start", Json::object(), kCallBound);
  const std::string* id =
      result && !is_true(member(*result, "isError"))
          ? protocol::json::find_string(member(*result, "structuredContent"), "sessionId")
          : nullptr;
  if (id != nullptr) return *id;
  failures.add(failure_text("browser_start", result ? protocol::json::dump(*result) : "no answer"));
  return {};
}

// The result of a tool call that `line` answers for request `id` without
// an error; nullopt, counting a failure, for anything else.
std::optional<Json> tool_result(std::string_view what, std::int64_t id,
                                const std::optional<std::string>& line, Failures& failures) {
  if (!line) {
    failures.add(failure_text(what, "no answer"));
    return std::nullopt;
  }
  auto parsed = protocol::json::parse(*line);
  Json answer = parsed ? std::move(parsed->value) : Json();
  const Json& result = member(answer, "result");
  if (protocol::json::as_i64(member(answer, "id")) == id && result.is_object() &&
      !is_true(member(result, "isError"))) {
    return std::move(answer["result"]);
  }
  failures.add(failure_text(what, std::string_view(*line).substr(0, 300)));
  return std::nullopt;
}

// Whether `line` answers click `id` with the extension's echo of it;
// counts a failure otherwise.
bool clicked(std::int64_t id, const std::optional<std::string>& line, Failures& failures) {
  std::optional<Json> result = tool_result("browser_click", id, line, failures);
  if (!result) return false;
  const std::string* op = protocol::json::find_string(member(*result, "structuredContent"), "op");
  if (op != nullptr && *op == "page_click") return true;
  failures.add(failure_text("browser_click", protocol::json::dump(*result)));
  return false;
}

// Milliseconds from spawning a relay to its answered "initialize".
std::vector<double> measure_spawns(const std::string& base, std::uint64_t n, Failures& failures) {
  std::vector<double> samples;
  for (std::uint64_t i = 0; i < n; ++i) {
    const Clock::time_point start = Clock::now();
    std::unique_ptr<FakeAgent> agent = connect_agent(base, failures);
    const Clock::time_point end = Clock::now();
    if (agent) samples.push_back(millis(end - start));
  }
  return samples;
}

// Microseconds a "ping" takes through the relay to the broker and back.
std::vector<double> measure_pings(FakeAgent& agent, std::uint64_t n, Failures& failures) {
  std::vector<double> samples;
  for (std::uint64_t i = 0; i < n; ++i) {
    const int id = static_cast<int>(kFirstId + static_cast<std::int64_t>(i));
    const std::string line = test::ping_line(id);
    const Clock::time_point start = Clock::now();
    std::optional<std::string> answer = agent.ask_line(line);
    const Clock::time_point end = Clock::now();
    if (answer && *answer == test::pong_line(id)) {
      samples.push_back(micros(end - start));
      continue;
    }
    failures.add(failure_text("ping", answer ? *answer : "no answer"));
    if (!answer) break;
  }
  return samples;
}

// Microseconds a "browser_click" takes through every hop to the extension.
std::vector<double> measure_clicks(FakeAgent& agent, const std::string& session, std::uint64_t n,
                                   std::int64_t& next_id, Failures& failures) {
  std::vector<double> samples;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::int64_t id = next_id++;
    const std::string line = tool_line(id, "browser_click", session);
    const Clock::time_point start = Clock::now();
    std::optional<std::string> answer = agent.ask_line(line);
    const Clock::time_point end = Clock::now();
    if (clicked(id, answer, failures)) samples.push_back(micros(end - start));
    if (!answer) break;
  }
  return samples;
}

// Milliseconds from a "browser_screenshot" request to the last byte of its
// answer line; the image is checked against `expected_base64` after the
// clock stops.
std::vector<double> measure_shots(FakeAgent& agent, const std::string& session, std::uint64_t n,
                                  const std::string& expected_base64, std::uint64_t bytes,
                                  std::int64_t& next_id, Failures& failures) {
  std::vector<double> samples;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::int64_t id = next_id++;
    const std::string request = tool_line(id, "browser_screenshot", session) + "\n";
    const Clock::time_point start = Clock::now();
    std::optional<std::string> answer;
    if (agent.child().write_stdin(request)) {
      answer = read_long_line(agent.child(), start + kCallBound, expected_base64.size() + 512);
    }
    const Clock::time_point end = Clock::now();
    std::optional<Json> result = tool_result("browser_screenshot", id, answer, failures);
    if (!answer) break;
    if (!result) continue;
    const Json& content = member(*result, "content");
    static const Json kNull;
    const Json& item = content.is_array() && content.size() == 1 ? content.front() : kNull;
    const std::string* data = protocol::json::find_string(item, "data");
    const std::string* mime = protocol::json::find_string(item, "mimeType");
    if (data != nullptr && *data == expected_base64 && mime != nullptr && *mime == "image/png" &&
        protocol::json::as_u64(member(member(*result, "structuredContent"), "size")) == bytes) {
      samples.push_back(millis(end - start));
    } else {
      failures.add("browser_screenshot: not the image the extension sent");
    }
  }
  return samples;
}

// Clicks answered per second by `jobs` agents calling at once, each through
// its own relay and session, started and connected before the clock runs.
double measure_throughput(const std::string& base, const Options& options, Failures& failures) {
  struct Worker {
    std::unique_ptr<FakeAgent> agent;
    std::string session;
  };
  std::vector<Worker> workers(options.jobs);
  for (Worker& worker : workers) {
    worker.agent = connect_agent(base, failures);
    if (worker.agent) worker.session = start_session(*worker.agent, failures);
  }
  std::atomic<std::uint64_t> answered{0};
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + std::chrono::seconds(options.seconds);
  {
    std::vector<std::jthread> threads;
    for (Worker& worker : workers) {
      if (worker.session.empty()) continue;
      threads.emplace_back([&worker, &answered, &failures, end] {
        for (std::int64_t id = kFirstId; Clock::now() < end; ++id) {
          std::optional<std::string> answer =
              worker.agent->ask_line(tool_line(id, "browser_click", worker.session));
          if (!clicked(id, answer, failures)) return;
          answered.fetch_add(1, std::memory_order_relaxed);
        }
      });
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<double>(answered.load()) / seconds;
}

// The figures each round takes, in this order.
constexpr std::array<std::string_view, 7> kRoundFigures = {
    "mcp spawn -> initialize answered, median (ms)",
    "ping round trip p50 (us)",
    "ping round trip p99 (us)",
    "browser_click p50 (us)",
    "browser_click p99 (us)",
    "screenshot end to end, median (ms)",
    "browser_click calls/s, agents in parallel"};
using RoundFigures = std::array<double, kRoundFigures.size()>;

// Resident memory in kB; 0 where it could not be read.
struct Memory {
  std::uint64_t broker_idle = 0, relay_idle = 0, host_idle = 0;
  std::uint64_t broker_peak = 0, relay_peak = 0, host_peak = 0;
};

void print_row(std::string_view name, std::vector<double> values) {
  values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return std::isnan(v); }),
               values.end());
  std::cout << std::left << std::setw(50) << name << std::right;
  if (values.empty()) {
    std::cout << std::setw(12) << "-" << '\n';
    return;
  }
  std::sort(values.begin(), values.end());
  std::cout << std::setw(12) << percentile(values, 50) << std::setw(12) << values.front()
            << std::setw(12) << values.back() << '\n';
}

void print_kb(std::string_view name, std::uint64_t kb) {
  std::cout << std::left << std::setw(50) << name << std::right << std::setw(12);
  if (kb != 0) {
    std::cout << kb << '\n';
  } else {
    std::cout << "-" << '\n';
  }
}

// Prints the table; returns the exit status.
int report(const Options& options, const std::vector<RoundFigures>& rounds, const Memory& memory,
           Failures& failures) {
  std::cout << std::fixed << std::setprecision(1) << "e2e: " << options.rounds << " round(s); "
            << options.spawns << " spawns, " << options.pings << " pings, " << options.clicks
            << " clicks, " << options.shots << " screenshots of " << options.shot_bytes
            << " bytes, " << options.jobs << " agents for " << options.seconds << " s\n"
            << std::left << std::setw(50) << "figure" << std::right << std::setw(12) << "median"
            << std::setw(12) << "min" << std::setw(12) << "max" << '\n';
  for (std::size_t f = 0; f < kRoundFigures.size(); ++f) {
    std::vector<double> values;
    for (const RoundFigures& round : rounds) values.push_back(round[f]);
    print_row(kRoundFigures[f], std::move(values));
  }
  print_kb("broker idle RSS (kB)", memory.broker_idle);
  print_kb("relay idle RSS (kB)", memory.relay_idle);
  print_kb("native host idle RSS (kB)", memory.host_idle);
  print_kb("broker peak RSS after screenshots (kB)", memory.broker_peak);
  print_kb("relay peak RSS after screenshots (kB)", memory.relay_peak);
  print_kb("native host peak RSS after screenshots (kB)", memory.host_peak);
  const std::uint64_t failed = failures.count();
  std::cout << "failed calls " << failed << '\n';
  for (const std::string& example : failures.examples()) std::cout << "  " << example << '\n';
  return failed == 0 ? 0 : 1;
}

int run(const Options& options) {
  test::TempDir dir;
  const std::string base = dir.path();
  test::BrokerProcess broker(base, {}, quiet_env());
  if (!broker.ready()) {
    std::cerr << "e2e: the broker did not start\n" << broker.child().stderr_text();
    return 1;
  }
  auto extension = std::make_unique<FakeExtension>(base, quiet_env());
  // Set before serve(): the serving thread reads them.
  extension->png = test::fake_png(options.shot_bytes);
  extension->chunk_size = kChunkBytes;
  std::optional<Json> reply = extension->announce_default();
  if (!reply || !is_true(member(member(*reply, "data"), "ready"))) {
    std::cerr << "e2e: the stand-in extension was not accepted\n";
    return 1;
  }
  extension->serve();
  const std::string expected_base64 = broker::screenshot::base64_encode(extension->png);

  Failures failures;
  std::unique_ptr<FakeAgent> agent = connect_agent(base, failures);
  const std::string session = agent ? start_session(*agent, failures) : std::string();
  if (session.empty()) return report(options, {}, {}, failures);
  const pid_t broker_pid = broker.child().pid(), relay_pid = agent->child().pid(),
              host_pid = extension->child().pid();
  Memory memory;
  memory.broker_idle = status_kb(broker_pid, "VmRSS");
  memory.relay_idle = status_kb(relay_pid, "VmRSS");
  memory.host_idle = status_kb(host_pid, "VmRSS");

  std::int64_t next_id = kFirstId;
  std::vector<RoundFigures> rounds;
  for (std::uint64_t r = 0; r < options.rounds; ++r) {
    std::cerr << "e2e: round " << r + 1 << " of " << options.rounds << '\n';
    RoundFigures figures{};
    figures[0] = percentile(measure_spawns(base, options.spawns, failures), 50);
    const std::vector<double> pings = measure_pings(*agent, options.pings, failures);
    figures[1] = percentile(pings, 50);
    figures[2] = percentile(pings, 99);
    const std::vector<double> clicks =
        measure_clicks(*agent, session, options.clicks, next_id, failures);
    figures[3] = percentile(clicks, 50);
    figures[4] = percentile(clicks, 99);
    figures[5] = percentile(measure_shots(*agent, session, options.shots, expected_base64,
                                          options.shot_bytes, next_id, failures),
                            50);
    memory.broker_peak = status_kb(broker_pid, "VmHWM");
    memory.relay_peak = status_kb(relay_pid, "VmHWM");
    memory.host_peak = status_kb(host_pid, "VmHWM");
    figures[6] = measure_throughput(base, options, failures);
    rounds.push_back(figures);
  }

  // Peers first, so that the broker's exit shows only its own faults.
  agent = nullptr;
  extension = nullptr;
  const std::optional<int> status = broker.stop();
  if (status != 0) {
    std::string what = "broker exit status ";
    what += status ? std::to_string(*status) : "none";
    failures.add(failure_text(what, broker.child().stderr_text()));
  }
  return report(options, rounds, memory, failures);
}

}  // namespace
}  // namespace velkor::bench

int main(int argc, char** argv) {
  const std::optional<velkor::bench::Options> options = velkor::bench::parse_options(argc, argv);
  if (!options) {
    std::fputs(velkor::bench::kUsage, stderr);
    return 2;
  }
  // A relay that dies leaves a closed pipe; writing to it must fail as a
  // value, not end the run.
  ::signal(SIGPIPE, SIG_IGN);
  return velkor::bench::run(*options);
}
