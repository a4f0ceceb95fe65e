#include "Memory.h"

#include <cstdlib>  // defines __GLIBC__ where the C library is glibc's
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace deruzera::platform {

void ReturnLargeBlocksWhenFreed() {
#ifdef __GLIBC__
    // A fixed threshold also stops the C library from raising it.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

}  // namespace deruzera::platform
