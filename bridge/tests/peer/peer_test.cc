#include "peer/peer.h"

#include <gtest/gtest.h>

#include <limits>

namespace velkor::peer {
namespace {

std::optional<protocol::json::Json> data_of(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  auto parsed = protocol::json::parse(*text);
  if (!parsed) {
    ADD_FAILURE() << "test JSON does not parse: " << *text;
    return std::nullopt;
  }
  return std::move(parsed->value);
}

PeerInfo chrome_peer(std::optional<std::string> version) {
  return PeerInfo{1, std::move(version), Browser{"Chrome", "126"}};
}

constexpr std::string_view kExtensionOlder =
    "The extension is older than the host binary — update the extension (Chrome Web Store, or "
    "reload the unpacked build).";
constexpr std::string_view kHostOlder =
    "The host binary is older than the extension — update the binary (re-run install.sh, or "
    "download the matching release).";
constexpr std::string_view kEitherBehind = "Update whichever side is behind so the two match.";

TEST(PeerTest, ParseAnnounce) {
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    std::optional<std::string_view> data;
    std::optional<PeerInfo> expected;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt},
      {R"("announce")", std::nullopt},
      {R"([{"protocolVersion":1}])", std::nullopt},
      {R"({})", std::nullopt},
      {R"({"ready":true})", std::nullopt},
      {R"({"announce":null})", std::nullopt},
      {R"({"announce":"hello"})", std::nullopt},
      {R"({"announce":5})", std::nullopt},
      {R"({"announce":{}})", PeerInfo{}},
      {R"({"announce":{"protocolVersion":1,"version":"0.1.0",)"
       R"("browser":{"name":"Chrome","version":"126"}},"extra":1})",
       PeerInfo{1, "0.1.0", Browser{"Chrome", "126"}}},
      {R"({"announce":{"protocolVersion":null,"version":null,"browser":null}})", PeerInfo{}},
      {R"({"announce":{"browser":{"name":null,"version":null,"engine":[1]}}})",
       PeerInfo{std::nullopt, std::nullopt, Browser{}}},
      {R"({"announce":{"protocolVersion":2,"build":"x"}})",
       PeerInfo{2, std::nullopt, std::nullopt}},
      {R"({"announce":{"protocolVersion":18446744073709551615}})",
       PeerInfo{kMax, std::nullopt, std::nullopt}},
      // Wrong types make the whole line no announce.
      {R"({"announce":{"protocolVersion":"1","browser":{}}})", std::nullopt},
      {R"({"announce":{"protocolVersion":-1,"browser":{}}})", std::nullopt},
      {R"({"announce":{"protocolVersion":1.0,"browser":{}}})", std::nullopt},
      {R"({"announce":{"protocolVersion":1,"version":1,"browser":{}}})", std::nullopt},
      {R"({"announce":{"protocolVersion":1,"browser":"Chrome"}})", std::nullopt},
      {R"({"announce":{"protocolVersion":1,"browser":126}})", std::nullopt},
      {R"({"announce":{"protocolVersion":1,"browser":{"name":5}}})", std::nullopt},
      {R"({"announce":{"protocolVersion":1,"browser":{"version":true}}})", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_announce(data_of(c.data)), c.expected) << c.data.value_or("(no data)");
  }
}

TEST(PeerTest, AnnounceAccepted) {
  struct Case {
    PeerInfo peer;
    bool accepted;
  };
  const Case cases[] = {
      {PeerInfo{1, std::nullopt, Browser{}}, true},
      {PeerInfo{1, "9.9.9", Browser{"Chrome", "126"}}, true},
      {PeerInfo{1, "0.1.0", std::nullopt}, false},
      {PeerInfo{2, "0.1.0", Browser{"Chrome", "126"}}, false},
      {PeerInfo{0, "0.1.0", Browser{}}, false},
      {PeerInfo{std::nullopt, "0.1.0", Browser{}}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(announce_accepted(c.peer), c.accepted) << describe(c.peer);
  }
}

TEST(PeerTest, Describe) {
  struct Case {
    PeerInfo peer;
    std::string_view text;
  };
  const Case cases[] = {
      {chrome_peer("0.1.0"), "extension v0.1.0 (protocol 1, Chrome 126)"},
      {PeerInfo{}, "extension vunknown (protocol unknown, unknown)"},
      {PeerInfo{7, std::nullopt, Browser{}}, "extension vunknown (protocol 7, unknown)"},
      {PeerInfo{1, "2.0.0", Browser{"Chromium", std::nullopt}},
       "extension v2.0.0 (protocol 1, Chromium)"},
      {PeerInfo{1, "2.0.0", Browser{std::nullopt, "127.0.1"}},
       "extension v2.0.0 (protocol 1, 127.0.1)"},
  };
  for (const Case& c : cases) EXPECT_EQ(describe(c.peer), c.text);
}

TEST(PeerTest, ParseSemver) {
  using Triple = std::array<std::uint64_t, 3>;
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    std::string_view text;
    std::optional<Triple> expected;
  };
  const Case cases[] = {
      {"0.1.0", Triple{0, 1, 0}},
      {"01.002.3+build", Triple{1, 2, 3}},
      {"1.2.3-beta.1", Triple{1, 2, 3}},
      {"1.2.3-", Triple{1, 2, 3}},
      {"1.2.3+a-b", Triple{1, 2, 3}},
      {"18446744073709551615.0.00000000000000000000000007", Triple{kMax, 0, 7}},
      {"18446744073709551616.0.0", std::nullopt},
      {"1.2.3.4", std::nullopt},
      {"", std::nullopt},
      {"1.2", std::nullopt},
      {"v0.2.0", std::nullopt},
      {"1..3", std::nullopt},
      {"1.2.", std::nullopt},
      {".1.2", std::nullopt},
      {"-1.2.3", std::nullopt},
      {"1.+2.3", std::nullopt},
      {" 1.2.3", std::nullopt},
      {"1.2.3 ", std::nullopt},
      {"1.2.x", std::nullopt},
      {"1.2.+3", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_semver(c.text), c.expected) << c.text;
}

TEST(PeerTest, DriftAdvisoryText) {
  EXPECT_EQ(drift_advisory("0.1.0", chrome_peer("0.2.0")),
            "[tabvine] Version mismatch: the native host binary is v0.1.0 but the connected "
            "Chrome extension is v0.2.0. Tools added or changed since the older of the two may "
            "fail or behave unexpectedly. The host binary is older than the extension — update "
            "the binary (re-run install.sh, or download the matching release). Tell the user "
            "about this; do not try to work around it silently.");
}

TEST(PeerTest, DriftAdvice) {
  struct Case {
    std::string_view host;
    std::optional<std::string> extension;
    std::optional<std::string_view> advice;  // nullopt: no advisory at all
  };
  const Case cases[] = {
      {"0.1.0", std::nullopt, std::nullopt}, {"0.1.0", "0.1.0", std::nullopt},
      {"0.1.0", "0.0.0", std::nullopt},      {"0.0.0", "9.9.9", std::nullopt},
      {"0.1.0-rc.1", "0.1.0", std::nullopt}, {"0.1.0+build.5", "0.1.0", std::nullopt},
      {"0.1.0", "0.2.0", kHostOlder},        {"0.1.0", "1.0.0", kHostOlder},
      {"0.1.0", "0.0.9", kExtensionOlder},   {"0.1.0", "0.1.0-beta.1", kEitherBehind},
      {"0.1.0", "00.1.0", kEitherBehind},    {"0.1.0", "1.2", kEitherBehind},
      {"0.1.0", "v0.2.0", kEitherBehind},    {"0.1.0", "", kEitherBehind},
      {"banana", "0.2.0", kEitherBehind},
  };
  for (const Case& c : cases) {
    PeerInfo peer = chrome_peer(c.extension);
    std::optional<std::string> advisory = drift_advisory(c.host, peer);
    std::string label = std::string(c.host) + " vs " + c.extension.value_or("(none)");
    if (!c.advice) {
      EXPECT_EQ(advisory, std::nullopt) << label;
      continue;
    }
    ASSERT_TRUE(advisory.has_value()) << label;
    std::string middle = "is v" + *c.extension +
                         ". Tools added or changed since the older of the "
                         "two may fail or behave unexpectedly. " +
                         std::string(*c.advice) + " Tell the user";
    EXPECT_NE(advisory->find(middle), std::string::npos) << label << ": " << *advisory;
    EXPECT_NE(advisory->find("binary is v" + std::string(c.host) + " but"), std::string::npos)
        << *advisory;
  }
}

}  // namespace
}  // namespace velkor::peer
