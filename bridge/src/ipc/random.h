#pragma once

#include <cstddef>
#include <string>

#include "error/result.h"

namespace velkor::ipc {

// 16 bytes from the OS's secure random source as 32 lower-case hex digits.
// Failure is kOther with the source's description.
Result<std::string> random_identifier();

// `n` random ASCII letters and digits, for temporary names.
Result<std::string> random_alnum(std::size_t n);

}  // namespace velkor::ipc
