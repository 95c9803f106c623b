#pragma once

#include "error/result.h"

namespace velkor::broker {

// The `mcp` role: relays the agent's MCP lines on standard input to the
// broker and each answer back to standard output, strictly one request at a
// time. Returns at the agent's end of input, or with the first failure.
// It has no time limit of its own: a tool call takes as long as the broker
// allows it.
Result<void> run_mcp();

}  // namespace velkor::broker
