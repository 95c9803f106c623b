#include "broker/tools/table.h"

#include <algorithm>

#include "protocol/operations.h"

namespace velkor::broker::tools {
namespace {

// Arguments with one meaning everywhere.
constexpr Argument kBrowserId{"browserId", Shape::kString, "Connected browser identifier."};
constexpr Argument kTabId{"tabId", Shape::kNonNegativeInteger,
                          "Explicitly shared tab. Defaults to the active shared tab."};
constexpr Argument kSessionId{"sessionId", Shape::kString,
                              "Identifier returned by browser_start in this client."};
constexpr Argument kFrameId{
    "frameId", Shape::kNonNegativeInteger,
    "Frame ID from browser_frames. Pair a child frame ID with its documentId."};
constexpr Argument kDocumentId{"documentId", Shape::kString,
                               "Current documentId from browser_frames, required for a child "
                               "frame unless ref identifies its document."};
constexpr Argument kRef{"ref", Shape::kString,
                        "Element reference from the latest snapshot of this frame."};
constexpr Argument kSelector{"selector", Shape::kString, "CSS selector in the selected document."};
constexpr Argument kKey{"key", Shape::kString, "Key such as Enter, Escape, Tab or ArrowDown."};
constexpr Argument kFilename{"filename", Shape::kString, "Optional preferred filename."};
constexpr Argument kSelectionId{"selectionId", Shape::kString, "Identifier from browser_files."};
constexpr Argument kDeltaX{"deltaX", Shape::kInteger, ""};
constexpr Argument kDeltaY{"deltaY", Shape::kInteger, ""};

// "value" and "url" are described for the tool that takes them.
constexpr Argument kOptionValue{"value", Shape::kString, "Value of the option."};
constexpr Argument kFieldValue{"value", Shape::kString, "New field value."};
constexpr Argument kNavigateUrl{"url", Shape::kString, "HTTP or HTTPS URL."};
constexpr Argument kDownloadUrl{"url", Shape::kString,
                                "Start URL on the selected page's site. Chrome follows redirects "
                                "and verifies the effective destination."};

// Argument sets. Element-level tools share the target set: sessionId, ref,
// selector, frameId, documentId.
constexpr Argument kStartArgs[] = {kBrowserId, kTabId};
constexpr Argument kSessionArgs[] = {kSessionId};
constexpr Argument kDocumentArgs[] = {kSessionId, kFrameId, kDocumentId};
constexpr Argument kNavigateArgs[] = {kSessionId, kNavigateUrl};
constexpr Argument kTargetArgs[] = {kSessionId, kRef, kSelector, kFrameId, kDocumentId};
constexpr Argument kPressArgs[] = {kSessionId, kRef, kSelector, kFrameId, kDocumentId, kKey};
constexpr Argument kSelectArgs[] = {kSessionId, kRef,        kSelector,
                                    kFrameId,   kDocumentId, kOptionValue};
constexpr Argument kScrollArgs[] = {kSessionId,  kRef,    kSelector, kFrameId,
                                    kDocumentId, kDeltaX, kDeltaY};
constexpr Argument kFillArgs[] = {kSessionId, kRef, kSelector, kFrameId, kDocumentId, kFieldValue};
constexpr Argument kUploadArgs[] = {kSessionId, kRef,        kSelector,
                                    kFrameId,   kDocumentId, kSelectionId};
constexpr Argument kDownloadArgs[] = {kSessionId, kDownloadUrl, kFilename};

constexpr std::string_view kNeedsSession[] = {kSessionId.name};
constexpr std::string_view kNeedsUrl[] = {kSessionId.name, kNavigateUrl.name};
constexpr std::string_view kNeedsKey[] = {kSessionId.name, kKey.name};
constexpr std::string_view kNeedsValue[] = {kSessionId.name, kOptionValue.name};
constexpr std::string_view kNeedsSelection[] = {kSessionId.name, kSelectionId.name};

constexpr ToolEntry kTools[] = {
    {"browser_tabs",
     "List browser profiles and tabs explicitly shared with Velkor.",
     Kind::kTabs,
     {},
     {},
     {}},
    {"browser_start",
     "Start a session in one shared tab. Use a browserId and tabId from browser_tabs.",
     Kind::kStart,
     {},
     kStartArgs,
     {}},
    {"browser_snapshot", "Observe actionable elements in the selected document.", Kind::kPage,
     protocol::kPageSnapshot, kDocumentArgs, kNeedsSession},
    {"browser_text", "Read visible text from the selected document.", Kind::kPage,
     protocol::kPageText, kDocumentArgs, kNeedsSession},
    {"browser_frames",
     "List accessible web frames and their current document IDs in the selected tab.", Kind::kPage,
     protocol::kPageFrames, kSessionArgs, kNeedsSession},
    {"browser_navigate",
     "Open an HTTP or HTTPS URL in the selected tab. A different website requires a fresh tab "
     "grant.",
     Kind::kPage, protocol::kPageNavigate, kNavigateArgs, kNeedsUrl},
    {"browser_back", "Go back in the selected tab.", Kind::kPage, protocol::kPageBack, kSessionArgs,
     kNeedsSession},
    {"browser_forward", "Go forward in the selected tab.", Kind::kPage, protocol::kPageForward,
     kSessionArgs, kNeedsSession},
    {"browser_reload", "Reload the selected tab.", Kind::kPage, protocol::kPageReload, kSessionArgs,
     kNeedsSession},
    {"browser_screenshot", "Capture the selected tab as a PNG image.", Kind::kPage,
     protocol::kPageScreenshot, kSessionArgs, kNeedsSession},
    {"browser_press", "Press a normal navigation or editing key in the selected document.",
     Kind::kPage, protocol::kPagePress, kPressArgs, kNeedsKey},
    {"browser_select", "Select a value in an HTML select control.", Kind::kPage,
     protocol::kPageSelect, kSelectArgs, kNeedsValue},
    {"browser_scroll", "Scroll the selected page or a specified scroll container.", Kind::kPage,
     protocol::kPageScroll, kScrollArgs, kNeedsSession},
    {"browser_click", "Click one element in the selected document using ref or selector.",
     Kind::kPage, protocol::kPageClick, kTargetArgs, kNeedsSession},
    {"browser_fill", "Set a field in the selected document using ref or selector.", Kind::kPage,
     protocol::kPageFill, kFillArgs, kNeedsValue},
    {"browser_files", "List files the user selected for upload.", Kind::kFiles, {}, {}, {}},
    {"browser_upload", "Attach a user-selected file to a file input in the selected document.",
     Kind::kPage, protocol::kPageUpload, kUploadArgs, kNeedsSelection},
    {"browser_download",
     "Download a file from the selected page and report the completed transfer.", Kind::kPage,
     protocol::kPageDownload, kDownloadArgs, kNeedsUrl},
    // Stopping ends the browser session rather than acting on the page.
    {"browser_stop", "End this client's selected browser session.", Kind::kPage,
     protocol::kSessionStop, kSessionArgs, kNeedsSession},
};

}  // namespace

std::span<const ToolEntry> tool_table() { return kTools; }

const ToolEntry* find_tool(std::string_view name) {
  for (const ToolEntry& tool : kTools) {
    if (tool.name == name) return &tool;
  }
  return nullptr;
}

bool allows(const ToolEntry& tool, std::string_view name) {
  return std::any_of(tool.arguments.begin(), tool.arguments.end(),
                     [name](const Argument& argument) { return argument.name == name; });
}

}  // namespace velkor::broker::tools
