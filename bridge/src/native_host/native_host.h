#pragma once

#include <chrono>

namespace velkor::native_host {

// How often the relay looks for the broker while none is reachable.
inline constexpr std::chrono::milliseconds kRetryInterval{500};

// The role Chrome starts: relays native-messaging frames on standard input
// and output to and from the broker's bridge lines. Ends the process itself
// with status 0 as soon as either side goes away; returns 1 only when the
// connection cannot be duplicated.
int run();

}  // namespace velkor::native_host
