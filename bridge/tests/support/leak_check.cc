// Linked into every test binary: after the last test, nothing the tests
// started may still be around — no child process, no extra thread, no
// descriptor that was not open before the first test.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/process.h"

namespace velkor::test {
namespace {

// ThreadSanitizer starts a background thread of its own on first use.
#if defined(__SANITIZE_THREAD__)
constexpr bool kCountThreads = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kCountThreads = false;
#else
constexpr bool kCountThreads = true;
#endif
#else
constexpr bool kCountThreads = true;
#endif

std::size_t thread_count() { return kCountThreads ? list_dir("/proc/self/task").size() : 0; }

// Children of this process that have not been reaped, zombies included.
std::size_t child_count() {
  std::size_t n = 0;
  const std::string self = std::to_string(::getpid());
  for (const std::string& pid : list_dir("/proc")) {
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string line;
    std::getline(stat, line);
    auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string state, ppid;
    rest >> state >> ppid;
    if (ppid == self) ++n;
  }
  return n;
}

class LeakCheck : public ::testing::Environment {
 public:
  void SetUp() override {
    fds_ = open_fd_count();
    threads_ = thread_count();
  }
  void TearDown() override {
    // Detached reader threads finish moments after their connection ends;
    // give them a bounded while to do so.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline &&
           (open_fd_count() > fds_ || thread_count() > threads_ || child_count() > 0)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(open_fd_count(), fds_) << "descriptors left open";
    EXPECT_EQ(thread_count(), threads_) << "threads left running";
    EXPECT_EQ(child_count(), 0u) << "child processes left behind";
  }

 private:
  std::size_t fds_ = 0;
  std::size_t threads_ = 0;
};

const auto* const kLeakCheck = ::testing::AddGlobalTestEnvironment(new LeakCheck);

}  // namespace
}  // namespace velkor::test
