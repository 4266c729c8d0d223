#include "platform/FreeMemory.h"

#include <malloc.h>

namespace quillon::platform {

void returnFreeMemory() {
    malloc_trim(0);
}

} // namespace quillon::platform
