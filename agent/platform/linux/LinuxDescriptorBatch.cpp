// Closing descriptors with close_range, one call per run of consecutive numbers.
#include <unistd.h>

#include <algorithm>

#include "platform/DescriptorBatch.h"

namespace tether::DescriptorBatch {

void closeAll(std::vector<int>& fds) {
  std::sort(fds.begin(), fds.end());
  std::size_t first = 0;
  while (first < fds.size()) {
    std::size_t last = first;
    while (last + 1 < fds.size() && fds[last + 1] == fds[last] + 1) ++last;
    // Every number of the run is one of the listed descriptors, so the range holds no other.
    if (last == first ||
        ::close_range(static_cast<unsigned>(fds[first]), static_cast<unsigned>(fds[last]), 0) !=
            0) {
      for (std::size_t i = first; i <= last; ++i) ::close(fds[i]);
    }
    first = last + 1;
  }
  fds.clear();
}

}  // namespace tether::DescriptorBatch
