#pragma once

#include <string_view>

#include "protocol/json.h"

namespace velkor::broker::tools {

// Sent instead of an extension's answer whose line would not fit the bridge
// (more than 16,777,215 bytes).
inline constexpr std::string_view kOversizeAnswer = "Ответ браузера слишком велик.";

// A failed tool call: {"content":[{"text":TEXT,"type":"text"}],"isError":true}.
protocol::json::Json response_error(std::string_view text);

// A verified screenshot, exactly as screenshot::receive returned it: its
// "_verifiedScreenshot" becomes one image item, the other members the
// structured content, {"content":[{"data":D,"mimeType":"image/png",
// "type":"image"}],"structuredContent":REST}. Only receive's result may come
// here: an extension's page reply can carry the same member, and must not be
// able to pass itself off as a verified image. A value without the member is
// shaped like response_value.
protocol::json::Json response_image(protocol::json::Json verified);

// Any other successful value V: {"content":[{"text":compact V,"type":"text"}],
// "structuredContent":V}, where a V that is not an object is wrapped as
// {"result":V}. Members of V are never interpreted.
protocol::json::Json response_value(protocol::json::Json value);

}  // namespace velkor::broker::tools
