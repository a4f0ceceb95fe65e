#include "Memory.h"

namespace deruzera::platform {

// The Windows heap gives blocks of about a megabyte and more memory of their
// own and hands it back when they are freed: there is nothing to set.
void ReturnLargeBlocksWhenFreed() {}

}  // namespace deruzera::platform
