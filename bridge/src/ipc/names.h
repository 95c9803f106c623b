#pragma once

#include <string_view>

namespace velkor::ipc {

// Environment variables that locate the runtime directory, in the order in
// which they are consulted.
inline constexpr char kRuntimeDirEnv[] = "VELKOR_COMPUTER_USE_RUNTIME_DIR";
inline constexpr char kXdgRuntimeDirEnv[] = "XDG_RUNTIME_DIR";
inline constexpr char kHomeEnv[] = "HOME";

// Used when HOME is unset or not text.
inline constexpr std::string_view kFallbackHome = "/tmp";
// The runtime directory under the home directory.
inline constexpr std::string_view kHomeRuntimeBase = "Library/Application Support";

// The runtime directory's own name under whichever base applies.
inline constexpr std::string_view kRuntimeDirName = "velkor-computer-use";
// Files inside the runtime directory.
inline constexpr std::string_view kRunLockName = "run.lock";
inline constexpr std::string_view kOwnerLockName = "owner.lock";
// Temporary files are this prefix plus six random letters and digits.
inline constexpr std::string_view kTempPrefix = ".tmp";

}  // namespace velkor::ipc
