#pragma once

#include <string>

#include "error/result.h"
#include "ipc/random.h"

namespace velkor::broker {

// A fresh identifier for browsers, clients, sessions and selections: 32
// lower-case hex digits from 16 random bytes. Never reused or derived.
inline Result<std::string> identifier() { return ipc::random_identifier(); }

}  // namespace velkor::broker
