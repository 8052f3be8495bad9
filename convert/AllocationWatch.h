#pragma once

// Whether an allocation of this process has failed: a picture that could not
// be read because memory ran out is told apart from a damaged one by this,
// not by how large the process has grown over earlier pictures. Only the
// worker links the watch; elsewhere (and under AddressSanitizer, which owns
// the allocator) nothing is watched and the answer is always false.

namespace allocation {

// True when an allocation has failed since the last call, which clears it.
bool failedSinceLastAsked();

}  // namespace allocation
