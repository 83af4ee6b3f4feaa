#pragma once

namespace tether {

// The scheduling priority of the calling thread. One implementation per operating system.
namespace ThreadPriority {

// Lets every thread of normal priority run before the calling one when they compete for a core,
// for the rest of the calling thread's life: for work that may take seconds of CPU and that no
// one waits on in a hurry. Best effort; nothing happens where the system refuses.
void lowerCurrentThread();

}  // namespace ThreadPriority
}  // namespace tether
