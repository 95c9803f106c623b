#pragma once

#include <string_view>

namespace velkor::protocol {

// The bridge operations the extension answers, as written in BridgeReq::op.
inline constexpr std::string_view kTabList = "tab_list";
inline constexpr std::string_view kSessionStart = "session_start";
inline constexpr std::string_view kSessionStop = "session_stop";
inline constexpr std::string_view kPageSnapshot = "page_snapshot";
inline constexpr std::string_view kPageText = "page_text";
inline constexpr std::string_view kPageFrames = "page_frames";
inline constexpr std::string_view kPageNavigate = "page_navigate";
inline constexpr std::string_view kPageBack = "page_back";
inline constexpr std::string_view kPageForward = "page_forward";
inline constexpr std::string_view kPageReload = "page_reload";
inline constexpr std::string_view kPagePress = "page_press";
inline constexpr std::string_view kPageSelect = "page_select";
inline constexpr std::string_view kPageScroll = "page_scroll";
inline constexpr std::string_view kPageClick = "page_click";
inline constexpr std::string_view kPageFill = "page_fill";
inline constexpr std::string_view kPageDownload = "page_download";
inline constexpr std::string_view kPageUpload = "page_upload";
inline constexpr std::string_view kPageScreenshot = "page_screenshot";
inline constexpr std::string_view kPageScreenshotRead = "page_screenshot_read";

}  // namespace velkor::protocol
