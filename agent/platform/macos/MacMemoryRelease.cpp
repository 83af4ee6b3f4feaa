// The system allocator gives back the free pages of every zone when asked to relieve pressure.
#include <malloc/malloc.h>

#include "platform/MemoryRelease.h"

namespace tether::MemoryRelease {

void returnFreedMemory() {
  ::malloc_zone_pressure_relief(nullptr, 0);
}

}  // namespace tether::MemoryRelease
