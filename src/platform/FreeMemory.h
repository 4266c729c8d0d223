#pragma once

namespace quillon::platform {

// Hands the heap's free pages back to the system. The C library keeps memory freed in the
// middle of its heap for later use; after a burst of windows has come and gone that is most
// of what the burst took, and the process would otherwise stay that large.
void returnFreeMemory();

} // namespace quillon::platform
