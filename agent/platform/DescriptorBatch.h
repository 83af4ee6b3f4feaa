#pragma once

#include <vector>

namespace tether {

// Closing many file descriptors at once: one system call per run of consecutive numbers where
// the system offers it (close_range on Linux), one call per descriptor elsewhere.
namespace DescriptorBatch {

// Closes every descriptor in the list and empties it; the list's order is not kept. Every
// number in it must be an open descriptor of the caller's, listed once.
void closeAll(std::vector<int>& fds);

}  // namespace DescriptorBatch
}  // namespace tether
