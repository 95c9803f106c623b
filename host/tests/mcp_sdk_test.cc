// A real MCP client: the official TypeScript SDK drives the mcp relay
// against a running broker and the stand-in extension.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "broker/screenshot/base64.h"
#include "support/peers.h"

namespace velkor::test {
namespace {

TEST(McpSdkTest, OfficialClientAcceptsEveryAnswer) {
  const std::string dir = VELKOR_MCP_SDK_DIR;
  struct stat st {};
  ASSERT_EQ(::stat((dir + "/node_modules/@modelcontextprotocol/sdk").c_str(), &st), 0)
      << "run `npm ci` in " << dir << " (scripts/test.sh does)";

  TempDir tmp;
  BrokerProcess broker(tmp.path());
  ASSERT_TRUE(broker.ready()) << broker.child().stderr_text();
  FakeExtension ext(tmp.path());
  ASSERT_TRUE(ext.announce_default());
  ext.serve();

  Env env = runtime_env(tmp.path());
  Child node("/usr/bin/env",
             {"node", dir + "/check.mjs", host_exe(), broker::screenshot::sha256_hex(ext.png)}, env);
  auto status = node.wait(60s);
  ASSERT_TRUE(status.has_value()) << node.stderr_text();
  EXPECT_EQ(*status, 0) << node.stdout_rest() << node.stderr_text();
  EXPECT_EQ(node.stdout_rest(), "mcp sdk check passed\n");
}

}  // namespace
}  // namespace velkor::test
