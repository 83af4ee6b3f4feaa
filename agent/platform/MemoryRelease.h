#pragma once

namespace tether {

// Hands memory that the process has freed back to the system. After a large policy has been
// taken up, or a large report sent, the freed parts of the heap would otherwise stay counted in
// the agent's resident size. One implementation per operating system.
namespace MemoryRelease {

void returnFreedMemory();

}  // namespace MemoryRelease
}  // namespace tether
