// A real MCP client: the official TypeScript SDK drives the mcp relay
// against a running broker and the stand-in extension.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "broker/screenshot/base64.h"
#include "support/peers.h"

namespace velkor::test {
namespace {

// Whether `program` is an executable in a directory of PATH, as /usr/bin/env
// would find it.
bool on_path(std::string_view program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::string_view rest(path);
  for (;;) {
    std::size_t colon = rest.find(':');
    std::string dir(rest.substr(0, colon));
    if (dir.empty()) dir = ".";
    if (::access((dir + "/" + std::string(program)).c_str(), X_OK) == 0) return true;
    if (colon == std::string_view::npos) return false;
    rest.remove_prefix(colon + 1);
  }
}

// Skipped rather than failed where Node.js or the SDK is missing, as in a
// plain cmake and ctest run; scripts/test.sh installs both, and fails
// itself if it cannot.
TEST(McpSdkTest, OfficialClientAcceptsEveryAnswer) {
  const std::string dir = VELKOR_MCP_SDK_DIR;
  if (!on_path("node")) GTEST_SKIP() << "no node on PATH (scripts/test.sh installs Node.js)";
  struct stat st {};
  if (::stat((dir + "/node_modules/@modelcontextprotocol/sdk").c_str(), &st) != 0) {
    GTEST_SKIP() << "run `npm ci` in " << dir << " (scripts/test.sh does)";
  }

  TempDir tmp;
  BrokerProcess broker(tmp.path());
  ASSERT_TRUE(broker.ready()) << broker.child().stderr_text();
  FakeExtension ext(tmp.path());
  ASSERT_TRUE(ext.announce_default());
  ext.serve();

  Env env = runtime_env(tmp.path());
  Child node("/usr/bin/env",
             {"node", dir + "/check.mjs", host_exe(), broker::screenshot::sha256_hex(ext.png)},
             env);
  auto status = node.wait(60s);
  ASSERT_TRUE(status.has_value()) << node.stderr_text();
  EXPECT_EQ(*status, 0) << node.stdout_rest() << node.stderr_text();
  EXPECT_EQ(node.stdout_rest(), "mcp sdk check passed\n");
}

}  // namespace
}  // namespace velkor::test
