// The GNU C library keeps freed heap pages mapped; malloc_trim returns every whole free page.
#include "platform/MemoryRelease.h"

#include <cstdlib>  // defines __GLIBC__ with the GNU C library

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tether::MemoryRelease {

void returnFreedMemory() {
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

}  // namespace tether::MemoryRelease
