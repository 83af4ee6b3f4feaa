// On macOS setpriority applies to the whole process; a thread's share of the cores follows its
// quality-of-service class, and "utility" is the class for long work nobody watches closely.
#include "platform/ThreadPriority.h"

#include <pthread.h>
#include <pthread/qos.h>

namespace tether::ThreadPriority {

void lowerCurrentThread() {
  ::pthread_set_qos_class_self_np(QOS_CLASS_UTILITY, 0);
}

}  // namespace tether::ThreadPriority
