#pragma once

#include <cstddef>

namespace velkor::protocol {

// Longest MCP or bridge line, counting its line feed. It bounds what one
// message can make a reader buffer when the peer is broken or hostile.
inline constexpr std::size_t kMaxLineBytes = 16 * 1024 * 1024;

// Bytes that all lines still being read may hold together in one process:
// four lines at the cap. Past it the line that would cross it is refused,
// so many connections cannot together hold the broker's memory.
inline constexpr std::size_t kMaxUnfinishedLineBytes = 4 * kMaxLineBytes;

// Largest body of a native-messaging frame from the browser. Longer
// announced lengths are refused before anything is allocated.
inline constexpr std::size_t kMaxIncomingFrameBytes = 64 * 1024 * 1024;

// Largest body the browser accepts from a native host; a longer frame would
// make it drop the port, so it is refused here instead.
inline constexpr std::size_t kMaxOutgoingFrameBytes = 1024 * 1024;

// Size of the native-messaging length prefix.
inline constexpr std::size_t kFrameHeaderBytes = 4;

}  // namespace velkor::protocol
