#pragma once

#include "protocol/json.h"

namespace velkor::broker::tools {

// The array of the 19 tool objects that "tools/list" shows, in a fixed order:
// each {"description","inputSchema","name"}, the schema
// {"additionalProperties":false,"properties","required","type":"object"}.
// Builds a fresh value on every call; cannot fail.
protocol::json::Json catalog();

}  // namespace velkor::broker::tools
