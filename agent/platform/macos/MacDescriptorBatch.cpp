// Closing descriptors one at a time: macOS has no call that closes a range.
#include <unistd.h>

#include "platform/DescriptorBatch.h"

namespace tether::DescriptorBatch {

void closeAll(std::vector<int>& fds) {
  for (int fd : fds) ::close(fd);
  fds.clear();
}

}  // namespace tether::DescriptorBatch
