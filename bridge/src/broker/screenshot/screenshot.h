#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "error/result.h"
#include "protocol/json.h"

namespace velkor::broker::screenshot {

// The one text for every way an extension can break the transfer.
inline constexpr std::string_view kIncomplete = "Браузер вернул неполный снимок.";

// The member of receive's result that holds the verified image. Only that
// result may become an image in the tool's answer.
inline constexpr std::string_view kVerifiedMember = "_verifiedScreenshot";
inline constexpr std::string_view kPngMime = "image/png";

// Bounds on what an extension may announce. They cap the memory one
// screenshot can take: the raw image once, and its base64 once.
inline constexpr std::uint64_t kMinSize = 8;         // the PNG signature alone
inline constexpr std::uint64_t kMaxSize = 11534336;  // 11 MiB
inline constexpr std::uint64_t kMinChunkSize = 1;
inline constexpr std::uint64_t kMaxChunkSize = 262144;  // 256 KiB

// Sends one chunk request ({"captureId","offset","sessionId"}) to the
// extension and returns the reply's data, or the failed call's text.
using ReadChunk =
    std::function<Result<protocol::json::Json, std::string>(protocol::json::Json request)>;

// Pulls the capture that `description` (the "page_screenshot" reply data)
// announces, one chunk request at a time, and checks every reply against the
// description, then the PNG signature and the SHA-256 digest of the whole.
// Returns {"_verifiedScreenshot": base64 image, "sha256", "size"}. Any
// deviation gives kIncomplete; a failed read gives the reader's text
// unchanged. Nothing is retried and nothing partial is returned. At most
// "size" requests are made, since every chunk must carry at least one byte.
Result<protocol::json::Json, std::string> receive(protocol::json::Json description,
                                                  const ReadChunk& read_chunk,
                                                  std::string_view session_id);

}  // namespace velkor::broker::screenshot
