#pragma once

#include <string>

#include "error/result.h"
#include "ipc/fd.h"

namespace velkor::ipc {

// Creates (with parents) the broker's runtime directory `dir`, makes sure
// it is a real directory owned by the effective user, resets its mode to
// 0700, and takes the single-instance guard: an exclusive, non-blocking
// flock on "owner.lock" inside it. The returned descriptor holds the lock
// until it is closed; keep it open for the broker's whole life.
//
// flock rather than fcntl locks: an fcntl lock belongs to the process and
// vanishes when any of its descriptors for the file is closed, while an
// flock belongs to the open file description, so only closing the returned
// descriptor (or its clones) releases it, and a second open in the same
// process conflicts just as a second broker would.
//
// Another holder of the lock gives kWouldBlock ("operation would block");
// a path that is not a directory, or is a symbolic link, gives kOther
// "browser runtime path must be a directory".
Result<UniqueFd> prepare_runtime_dir(const std::string& dir);

}  // namespace velkor::ipc
