// How the program's memory goes back to the system.
#pragma once

namespace deruzera::platform {

// Blocks of a megabyte and more are mapped of their own and go back to the
// system when freed. A list of a million found files is sorted, searched
// and replaced in large pieces; without this, the C library keeps what they
// freed (its threshold for such blocks rises with each one freed) and the
// window would hold twice what it uses. Call once at start.
void ReturnLargeBlocksWhenFreed();

}  // namespace deruzera::platform
