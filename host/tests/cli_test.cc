// The executable's command line: which word starts which role, the fixed
// texts, and the one-line failure report with its exit status.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/peers.h"
#include "support/temp_dir.h"

namespace velkor::test {
namespace {

constexpr char kHelp[] =
    "Velkor Computer Use\n\n  mcp\n  serve-browser [--upload-file PATH]\n  native-manifest "
    "EXTENSION_ID\n";
constexpr char kUnknown[] = "velkor-computer-use-host: use --help for supported commands\n";
constexpr char kMcpUsage[] = "velkor-computer-use-host: usage: velkor-computer-use-host mcp\n";
constexpr char kServeUsage[] =
    "velkor-computer-use-host: usage: velkor-computer-use-host serve-browser [--upload-file "
    "PATH]\n";
constexpr char kManifestUsage[] =
    "velkor-computer-use-host: usage: velkor-computer-use-host native-manifest EXTENSION_ID\n";
constexpr char kInvalidInput[] = "velkor-computer-use-host: invalid input parameter\n";
constexpr char kBadId[] = "velkor-computer-use-host: invalid Chrome extension ID\n";
constexpr char kNoLockFile[] =
    "velkor-computer-use lock file not found \xE2\x80\x94 is the MCP server running?";
constexpr char kManifest[] = "native-manifest";
constexpr char kId[] = "abcdefghijklmnopabcdefghijklmnop";

// A private, empty runtime base and no log variable, so that every line on
// standard error comes from the defaults.
Env quiet_env(const TempDir& dir) {
  return Env().set("VELKOR_COMPUTER_USE_RUNTIME_DIR", dir.path()).unset("VELKOR_COMPUTER_USE_LOG");
}

struct Outcome {
  std::optional<int> status;
  std::string out;
  std::string err;
};

// Runs the executable with standard input left open, so a row that wrongly
// waits for input shows as a missing exit status instead of passing.
Outcome run(const std::string& exe, const std::vector<std::string>& args, const Env& env) {
  Child child(exe, args, env);
  Outcome o;
  o.status = child.wait(10s);
  o.out = child.stdout_rest();
  o.err = child.stderr_text();
  return o;
}

std::string canonical(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

std::string manifest_text(const std::string& exe_path, const std::string& id) {
  return "{\n"
         "  \"name\": \"velkor.computer_use\",\n"
         "  \"description\": \"Velkor Computer Use\",\n"
         "  \"path\": \"" +
         exe_path +
         "\",\n"
         "  \"type\": \"stdio\",\n"
         "  \"allowed_origins\": [\n"
         "    \"chrome-extension://" +
         id +
         "/\"\n"
         "  ]\n"
         "}\n";
}

struct ExitCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err;
};

TEST(CliTest, WordsEndWithTheirStatusAndExactTexts) {
  const std::vector<ExitCase> cases = {
      {"help", {"--help"}, 0, kHelp, ""},
      {"version", {"--version"}, 0, "Velkor Computer Use " VELKOR_VERSION "\n", ""},
      {"help with an argument", {"--help", "x"}, 1, "", kUnknown},
      {"version with an argument", {"--version", "--help"}, 1, "", kUnknown},
      {"unknown word", {"bogus"}, 1, "", kUnknown},
      {"empty word", {""}, 1, "", kUnknown},
      {"command in capitals", {"MCP"}, 1, "", kUnknown},
      {"command with a letter appended", {"mcpx"}, 1, "", kUnknown},
      {"help with an equals sign", {"--help=1"}, 1, "", kUnknown},
      {"short option", {"-h"}, 1, "", kUnknown},
      {"serve in capitals", {"Serve-browser"}, 1, "", kUnknown},
      {"origin one slash short", {"chrome-extension:/"}, 1, "", kUnknown},
      {"origin one slash short with more", {"chrome-extension:/x"}, 1, "", kUnknown},
      {"origin in capitals", {"Chrome-extension://"}, 1, "", kUnknown},
      {"mcp with an argument", {"mcp", "extra"}, 1, "", kMcpUsage},
      {"mcp with an empty argument", {"mcp", ""}, 1, "", kMcpUsage},
      {"manifest without id", {kManifest}, 1, "", kManifestUsage},
      {"manifest with two arguments", {kManifest, kId, "x"}, 1, "", kManifestUsage},
      {"id not UTF-8", {kManifest, "abcdefghijklmnopabcdefghijklmno\xff"}, 1, "", kManifestUsage},
      {"id of 31 letters", {kManifest, "abcdefghijklmnopabcdefghijklmno"}, 1, "", kBadId},
      {"id of 33 letters", {kManifest, "abcdefghijklmnopabcdefghijklmnopa"}, 1, "", kBadId},
      {"id with a q", {kManifest, "qbcdefghijklmnopabcdefghijklmnop"}, 1, "", kBadId},
      {"id with a capital", {kManifest, "Abcdefghijklmnopabcdefghijklmnop"}, 1, "", kBadId},
      {"id with a digit", {kManifest, "0bcdefghijklmnopabcdefghijklmnop"}, 1, "", kBadId},
      {"id empty", {kManifest, ""}, 1, "", kBadId},
  };
  TempDir dir;
  for (const ExitCase& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = run(host_exe(), c.args, quiet_env(dir));
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.err, c.err);
  }
  // None of these touched the runtime directory.
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{});
}

TEST(CliTest, ManifestNamesTheCanonicalExecutableWhateverLinkStartedIt) {
  TempDir dir;
  const std::string target = canonical(host_exe());
  ASSERT_FALSE(target.empty());
  ASSERT_EQ(::symlink(host_exe().c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("link").c_str(), dir.file("link-to-link").c_str()), 0);

  for (const std::string& exe : {host_exe(), dir.file("link"), dir.file("link-to-link")}) {
    SCOPED_TRACE(exe);
    Outcome o = run(exe, {"native-manifest", kId}, quiet_env(dir));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, manifest_text(target, kId));
    EXPECT_EQ(o.err, "");
  }
}

TEST(CliTest, OriginsAndNonTextFirstArgumentsStartTheNativeHost) {
  const std::vector<std::vector<std::string>> argvs = {
      {},
      {"chrome-extension://"},
      {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"},
      {"chrome-extension://x", "--help", "more"},
      {"\xff"},
      {"\xff", "--help"},
      {"mcp\x80"},
      {"\xc3"},
      {"\xc0\xaf"},
      {"\xed\xa0\x80"},
  };
  const std::string waiting =
      std::string("[INFO] [native-host] waiting for MCP server (") + kNoLockFile + ")";
  const std::string eof = "[INFO] [native-host] stdin EOF, shutting down";
  for (const auto& args : argvs) {
    SCOPED_TRACE(args.empty() ? std::string("no arguments") : args[0]);
    TempDir dir;
    Child host(host_exe(), args, quiet_env(dir));
    auto line = host.wait_stderr("waiting for MCP server");
    ASSERT_TRUE(line) << host.stderr_text();
    EXPECT_EQ(*line, waiting);
    host.close_stdin();
    EXPECT_EQ(host.wait(), 0);
    EXPECT_EQ(host.stdout_rest(), "");
    EXPECT_EQ(host.stderr_text(), waiting + "\n" + eof + "\n");
    // The native host only looks for the broker; it creates nothing.
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{});
  }
}

TEST(CliTest, McpWithoutBrokerFailsAtOnce) {
  TempDir dir;
  // Standard input stays open: the relay must fail before reading it.
  Outcome o = run(host_exe(), {"mcp"}, quiet_env(dir));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, std::string("velkor-computer-use-host: ") + kNoLockFile + "\n");
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{});
}

TEST(CliTest, ServeOptionFailuresStopTheStartedBroker) {
  TempDir dir;
  const std::string file = dir.file("report.txt");
  std::ofstream(file) << "contents";
  const std::string missing = dir.file("missing.txt");
  // Opening a named pipe for reading would wait for a writer for ever.
  const std::string fifo = dir.file("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct ServeCase {
    const char* name;
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<ServeCase> cases = {
      {"option without path", {"--upload-file"}, kInvalidInput},
      {"unknown option", {"bogus"}, kServeUsage},
      {"option with equals sign", {"--upload-file=" + file}, kServeUsage},
      {"second option without path", {"--upload-file", file, "--upload-file"}, kInvalidInput},
      {"unknown word after a staged file", {"--upload-file", file, "bogus"}, kServeUsage},
      {"missing file",
       {"--upload-file", missing},
       "velkor-computer-use-host: No such file or directory (os error 2)\n"},
      {"directory",
       {"--upload-file", dir.path()},
       "velkor-computer-use-host: select a regular file\n"},
      {"named pipe", {"--upload-file", fifo}, "velkor-computer-use-host: select a regular file\n"},
  };
  for (const ServeCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir base;
    std::vector<std::string> args{"serve-browser"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Outcome o = run(host_exe(), args, quiet_env(base));
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, c.err);
    // The broker had started (it made the directory and its guard) and was
    // shut down: no lock file and no staged copy are left.
    EXPECT_EQ(list_dir(base.file("velkor-computer-use")), std::vector<std::string>{"owner.lock"});
  }
}

}  // namespace
}  // namespace velkor::test
