// Files the user chose with --upload-file: staged by the broker, bound to
// the next session, listed and uploaded by its agent, and deleted with it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "e2e_fixture.h"

namespace velkor::test {
namespace {

const std::string kSelectFile = "Выберите файл в приложении Велкора.";
const std::string kFirstName = "a b.txt";
const std::string kSecondName = "файл.txt";
const std::string kFirstBytes = "first file\n";
const std::string kSecondBytes = std::string("второй") + std::string("\0\x01\xff", 3);

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

bool is_staging_name(const std::string& name) {
  const std::string prefix = "selected-";
  if (name.size() != prefix.size() + 6 || name.rfind(prefix, 0) != 0) return false;
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

class UploadsE2eTest : public E2eTest {
 protected:
  void SetUp() override {
    write_file(first_path(), kFirstBytes);
    write_file(second_path(), kSecondBytes);
    E2eTest::SetUp();
  }
  std::vector<std::string> broker_args() override {
    return {"--upload-file", first_path(), "--upload-file", second_path()};
  }
  std::string first_path() const { return dir_.file(kFirstName); }
  std::string second_path() const { return dir_.file(kSecondName); }

  // The agent's selections by name, after checking that browser_files
  // answered exactly {"files":[{"name","selectionId"}...]} in id order.
  std::map<std::string, std::string> files_of(FakeAgent& agent) {
    Json result = call(agent, "browser_files");
    Json files = result["structuredContent"]["files"];
    std::vector<std::pair<std::string, std::string>> by_id;
    std::map<std::string, std::string> by_name;
    for (Json file : files) {
      const std::string id = file.value("selectionId", std::string());
      const std::string name = file.value("name", std::string());
      EXPECT_TRUE(id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos)
          << result.dump();
      by_id.emplace_back(id, name);
      by_name[name] = id;
    }
    std::sort(by_id.begin(), by_id.end());
    Json expected = Json::array();
    for (const auto& [id, name] : by_id) expected.push_back({{"name", name}, {"selectionId", id}});
    EXPECT_EQ(result, value_result({{"files", expected}}));
    return by_name;
  }

  std::vector<std::string> runtime_entries() const { return list_dir(broker_->runtime_dir()); }
};

TEST_F(UploadsE2eTest, SelectionsGoToTheFirstSessionAndAreListedToItsAgentOnly) {
  auto ext = connect_extension();
  ext->serve();
  FakeAgent first(dir_.path());
  FakeAgent second(dir_.path());
  // Waiting selections are nobody's yet.
  EXPECT_TRUE(files_of(first).empty());

  const std::string theirs = start_session(second, {{"tabId", 4}});
  const std::string mine = start_session(first, {{"tabId", 3}});
  ASSERT_FALSE(theirs.empty());
  ASSERT_FALSE(mine.empty());
  EXPECT_TRUE(files_of(first).empty());
  auto files = files_of(second);
  EXPECT_EQ(files.size(), 2u);
  EXPECT_EQ(files.count(kFirstName), 1u);
  EXPECT_EQ(files.count(kSecondName), 1u);

  // Each selection has its own staging directory holding its copy.
  std::vector<std::string> staged = staging_dirs();
  ASSERT_EQ(staged.size(), 2u);
  std::vector<std::string> copies;
  for (const std::string& name : staged) {
    EXPECT_TRUE(is_staging_name(name)) << name;
    for (const std::string& copy : list_dir(broker_->runtime_dir() + "/" + name)) {
      copies.push_back(*read_file(broker_->runtime_dir() + "/" + name + "/" + copy));
    }
  }
  std::sort(copies.begin(), copies.end());
  std::vector<std::string> originals = {kFirstBytes, kSecondBytes};
  std::sort(originals.begin(), originals.end());
  EXPECT_EQ(copies, originals);

  // Stopping the session deletes its selections and their directories.
  Json stopped = call(second, "browser_stop", {{"sessionId", theirs}});
  EXPECT_FALSE(stopped.contains("isError")) << stopped.dump();
  EXPECT_TRUE(files_of(second).empty());
  EXPECT_EQ(runtime_entries(), (std::vector<std::string>{"owner.lock", "run.lock"}));
}

TEST_F(UploadsE2eTest, DisconnectDeletesTheSessionsSelections) {
  auto ext = connect_extension();
  ext->serve();
  FakeAgent agent(dir_.path());
  const std::string s = start_session(agent, {{"tabId", 7}});
  ASSERT_FALSE(s.empty());
  ASSERT_EQ(files_of(agent).size(), 2u);
  ASSERT_EQ(staging_dirs().size(), 2u);
  const std::size_t before = ext->requests().size();

  agent.child().close_stdin();
  // The selections are dropped before the extension is told to stop.
  ASSERT_TRUE(ext->wait_requests(before + 1));
  EXPECT_EQ(seen_since(*ext, before)[0].op, "session_stop");
  EXPECT_EQ(runtime_entries(), (std::vector<std::string>{"owner.lock", "run.lock"}));
}

TEST_F(UploadsE2eTest, UploadSendsTheStagedCopyAfterTheOriginalIsGone) {
  ASSERT_TRUE(std::filesystem::remove(first_path()));
  auto ext = connect_extension();
  ext->serve();
  FakeAgent agent(dir_.path());
  const std::string s = start_session(agent, {{"tabId", 7}});
  ASSERT_FALSE(s.empty());
  const std::string selection = files_of(agent)[kFirstName];
  ASSERT_FALSE(selection.empty());

  // The same selection can be uploaded again: using it does not remove it.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const std::size_t before = ext->requests().size();
    const Json args{{"ref", "e1"}, {"selectionId", selection}, {"sessionId", s}};
    Json result = call(agent, "browser_upload", args);

    auto seen = seen_since(*ext, before);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].op, "page_upload");
    EXPECT_EQ(seen[0].tab_id, 7);
    Json paths = seen[0].args["paths"];
    ASSERT_TRUE(paths.is_array() && paths.size() == 1u && paths[0].is_string())
        << seen[0].args.dump();
    const std::string path = paths[0].get<std::string>();
    Json sent = args;
    sent["paths"] = Json::array({path});
    EXPECT_EQ(seen[0].args, sent);
    EXPECT_EQ(result, value_result({{"args", sent}, {"op", "page_upload"}}));

    const std::string prefix = broker_->runtime_dir() + "/";
    ASSERT_EQ(path.rfind(prefix, 0), 0u) << path;
    const std::string rest = path.substr(prefix.size());
    ASSERT_NE(rest.find('/'), std::string::npos) << path;
    EXPECT_TRUE(is_staging_name(rest.substr(0, rest.find('/')))) << path;
    EXPECT_EQ(rest.substr(rest.find('/') + 1), kFirstName);
    EXPECT_EQ(read_file(path), kFirstBytes);
  }
}

TEST_F(UploadsE2eTest, UploadNeedsASelectionOfTheSameSession) {
  auto ext = connect_extension();
  ext->serve();
  FakeAgent agent(dir_.path());
  FakeAgent other(dir_.path());
  const std::string holder = start_session(agent, {{"tabId", 7}});
  const std::string sibling = start_session(agent, {{"tabId", 8}});
  const std::string stranger = start_session(other, {{"tabId", 9}});
  ASSERT_FALSE(holder.empty() || sibling.empty() || stranger.empty());
  const std::string selection = files_of(agent)[kSecondName];
  ASSERT_FALSE(selection.empty());
  const std::size_t before = ext->requests().size();

  struct Case {
    FakeAgent* agent;
    std::string session;
    std::string selection;
  };
  const std::vector<Case> cases = {
      {&agent, sibling, selection},            // another session of the same agent
      {&other, stranger, selection},           // another agent's session
      {&agent, holder, std::string(32, 'a')},  // no such selection
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.session + " " + c.selection);
    EXPECT_EQ(
        call(*c.agent, "browser_upload", {{"selectionId", c.selection}, {"sessionId", c.session}}),
        error_result(kSelectFile));
  }
  EXPECT_TRUE(seen_since(*ext, before).empty());
}

TEST_F(UploadsE2eTest, UnconfirmedStartLeavesSelectionsWaiting) {
  std::atomic<bool> refused{false};
  auto ext = connect_extension();
  FakeExtension* e = ext.get();
  ext->serve([&, e](const SeenRequest& req) {
    if (req.op == "session_start" && !refused.exchange(true)) return Answer::fail("no tab");
    return e->default_answer(req);
  });
  FakeAgent agent(dir_.path());
  EXPECT_EQ(call(agent, "browser_start", {{"tabId", 7}}), error_result("no tab"));
  const std::string s = start_session(agent, {{"tabId", 7}});
  ASSERT_FALSE(s.empty());
  EXPECT_EQ(files_of(agent).size(), 2u);
}

// The staged copies are private whatever umask the broker runs with.
class UploadsUmaskE2eTest : public UploadsE2eTest {
 protected:
  Env broker_env() override { return Env().set_umask(0); }
};

TEST_F(UploadsUmaskE2eTest, StagedCopiesArePrivate) {
  std::vector<std::string> staged = staging_dirs();
  ASSERT_EQ(staged.size(), 2u);
  std::vector<std::string> copies;
  for (const std::string& name : staged) {
    SCOPED_TRACE(name);
    const std::string dir = broker_->runtime_dir() + "/" + name;
    struct stat st {};
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    std::vector<std::string> entries = list_dir(dir);
    ASSERT_EQ(entries.size(), 1u);
    const std::string copy = dir + "/" + entries[0];
    ASSERT_EQ(::lstat(copy.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    copies.push_back(entries[0]);
  }
  std::sort(copies.begin(), copies.end());
  EXPECT_EQ(copies, (std::vector<std::string>{kFirstName, kSecondName}));
}

}  // namespace
}  // namespace velkor::test
