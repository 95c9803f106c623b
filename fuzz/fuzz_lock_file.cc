// The lock file is the trust boundary between local processes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ipc/lock_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (auto lock = velkor::ipc::LockFile::parse(bytes)) {
    auto again = velkor::ipc::LockFile::parse(lock->serialize());
    if (!again || !(*again == *lock)) __builtin_trap();
  }
  return 0;
}
