#include "platform/priority.h"

#include <windows.h>

namespace platform {

void raise_process_priority() { (void)SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS); }

}  // namespace platform
