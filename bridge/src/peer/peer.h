#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/version.h"
#include "protocol/json.h"

namespace velkor::peer {

// This executable's version: the host side of every drift comparison.
inline constexpr std::string_view kHostVersion = kProjectVersion;
// The only bridge protocol this broker speaks.
inline constexpr std::uint64_t kProtocolVersion = 1;
// The error of the reply that refuses an announce.
inline constexpr std::string_view kAnnounceRefused =
    "Версия расширения не совпадает с приложением Велкора.";

struct Browser {
  std::optional<std::string> name;
  std::optional<std::string> version;

  bool operator==(const Browser&) const = default;
};

// What the extension said about itself. Every member is optional: a null
// member of the announce counts as absent.
struct PeerInfo {
  std::optional<std::uint64_t> protocol_version;
  std::optional<std::string> version;
  std::optional<Browser> browser;

  bool operator==(const PeerInfo&) const = default;
};

// Reads the "announce" member of a response's data. Returns nullopt, without
// a diagnostic, when there is no data, the data is not an object, it has no
// "announce", or the announce has a member of the wrong type: such a line is
// simply not an announce.
std::optional<PeerInfo> parse_announce(const std::optional<protocol::json::Json>& data);

// True when the peer speaks our protocol and said which browser it runs in.
// Its version plays no part.
bool announce_accepted(const PeerInfo& peer);

// One line for the log, e.g. "extension v0.1.0 (protocol 1, Chrome 126)".
std::string describe(const PeerInfo& peer);

// Major, minor and patch of "1.2.3", ignoring any "-pre" or "+build" suffix.
// Leading zeros are allowed; anything but exactly three runs of ASCII digits
// that fit 64 bits gives nullopt.
std::optional<std::array<std::uint64_t, 3>> parse_semver(std::string_view text);

// A warning for the agent's user when the extension's version differs from
// `host_version` in a way that matters; nullopt when it does not, or when the
// extension sent no version. Never refuses anything.
std::optional<std::string> drift_advisory(std::string_view host_version, const PeerInfo& peer);

}  // namespace velkor::peer
