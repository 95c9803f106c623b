#pragma once

#include <cstddef>

namespace velkor::protocol {

// Longest MCP or bridge line, counting its line feed. It bounds what one
// message can make a reader buffer when the peer is broken or hostile.
inline constexpr std::size_t kMaxLineBytes = 16 * 1024 * 1024;

// Largest body of a native-messaging frame from the browser. Longer
// announced lengths are refused before anything is allocated.
inline constexpr std::size_t kMaxIncomingFrameBytes = 64 * 1024 * 1024;

// Largest body the browser accepts from a native host; a longer frame would
// make it drop the port, so it is refused here instead.
inline constexpr std::size_t kMaxOutgoingFrameBytes = 1024 * 1024;

// Size of the native-messaging length prefix.
inline constexpr std::size_t kFrameHeaderBytes = 4;

}  // namespace velkor::protocol
