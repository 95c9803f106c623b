#pragma once

#include <string_view>

// CMake's project(VERSION ...) is the one place the version is written; the
// library passes it on to everything that links it.
#ifndef VELKOR_VERSION
#error "VELKOR_VERSION comes from CMake's project version; build through CMake"
#endif

namespace velkor {

// This build's version, "MAJOR.MINOR.PATCH".
inline constexpr std::string_view kProjectVersion = VELKOR_VERSION;

}  // namespace velkor
