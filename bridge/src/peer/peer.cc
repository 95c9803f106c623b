#include "peer/peer.h"

#include <charconv>

namespace velkor::peer {
namespace {

constexpr std::string_view kUnknown = "unknown";

constexpr std::string_view kExtensionOlder =
    "The extension is older than the host binary — update the extension (Chrome Web Store, or "
    "reload the unpacked build).";
constexpr std::string_view kHostOlder =
    "The host binary is older than the extension — update the binary (re-run install.sh, or "
    "download the matching release).";
constexpr std::string_view kEitherBehind = "Update whichever side is behind so the two match.";

// Reads an optional string member into `out`. Absent and null leave `out`
// empty; false means the member has another type.
bool read_string(const protocol::json::Json& object, std::string_view key,
                 std::optional<std::string>& out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  const auto* text = it->get_ptr<const std::string*>();
  if (text == nullptr) return false;
  out = *text;
  return true;
}

std::optional<Browser> parse_browser(const protocol::json::Json& value) {
  if (!value.is_object()) return std::nullopt;
  Browser browser;
  if (!read_string(value, "name", browser.name)) return std::nullopt;
  if (!read_string(value, "version", browser.version)) return std::nullopt;
  return browser;
}

std::string browser_text(const std::optional<Browser>& browser) {
  if (!browser) return std::string(kUnknown);
  const auto& name = browser->name;
  const auto& version = browser->version;
  if (name && version) return *name + " " + *version;
  if (name) return *name;
  if (version) return *version;
  return std::string(kUnknown);
}

// The text before the first "-" or "+": a release without its pre-release
// and build suffixes.
std::string_view release_part(std::string_view text) {
  return text.substr(0, text.find_first_of("-+"));
}

std::optional<std::uint64_t> parse_number(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<PeerInfo> parse_announce(const std::optional<protocol::json::Json>& data) {
  if (!data || !data->is_object()) return std::nullopt;
  auto announce = data->find("announce");
  if (announce == data->end() || !announce->is_object()) return std::nullopt;

  PeerInfo peer;
  auto protocol = announce->find("protocolVersion");
  if (protocol != announce->end() && !protocol->is_null()) {
    peer.protocol_version = protocol::json::as_u64(*protocol);
    if (!peer.protocol_version) return std::nullopt;
  }
  if (!read_string(*announce, "version", peer.version)) return std::nullopt;
  auto browser = announce->find("browser");
  if (browser != announce->end() && !browser->is_null()) {
    peer.browser = parse_browser(*browser);
    if (!peer.browser) return std::nullopt;
  }
  return peer;
}

bool announce_accepted(const PeerInfo& peer) {
  return peer.protocol_version == kProtocolVersion && peer.browser.has_value();
}

std::string describe(const PeerInfo& peer) {
  std::string protocol =
      peer.protocol_version ? std::to_string(*peer.protocol_version) : std::string(kUnknown);
  return "extension v" + peer.version.value_or(std::string(kUnknown)) + " (protocol " + protocol +
         ", " + browser_text(peer.browser) + ")";
}

std::optional<std::array<std::uint64_t, 3>> parse_semver(std::string_view text) {
  std::string_view rest = release_part(text);
  std::array<std::uint64_t, 3> parts{};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::size_t dot = rest.find('.');
    bool last = i + 1 == parts.size();
    // The last part must run to the end; the others must stop at a dot.
    if (last != (dot == std::string_view::npos)) return std::nullopt;
    auto number = parse_number(rest.substr(0, dot));
    if (!number) return std::nullopt;
    parts[i] = *number;
    if (!last) rest.remove_prefix(dot + 1);
  }
  return parts;
}

std::optional<std::string> drift_advisory(std::string_view host_version, const PeerInfo& peer) {
  if (!peer.version) return std::nullopt;
  std::string_view extension = *peer.version;
  if (extension == host_version) return std::nullopt;
  // An unversioned development build on either side says nothing about drift.
  if (extension == "0.0.0" || host_version == "0.0.0") return std::nullopt;
  if (extension == release_part(host_version)) return std::nullopt;

  std::string_view advice = kEitherBehind;
  auto host = parse_semver(host_version);
  auto theirs = parse_semver(extension);
  if (host && theirs) {
    if (*theirs < *host) {
      advice = kExtensionOlder;
    } else if (*host < *theirs) {
      advice = kHostOlder;
    }
  }
  std::string text = "[tabvine] Version mismatch: the native host binary is v";
  text += host_version;
  text += " but the connected Chrome extension is v";
  text += extension;
  text += ". Tools added or changed since the older of the two may fail or behave unexpectedly. ";
  text += advice;
  text += " Tell the user about this; do not try to work around it silently.";
  return text;
}

}  // namespace velkor::peer
