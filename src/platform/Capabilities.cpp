#include "platform/Capabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillon::platform {

void dropCapabilitiesUnlessRoot() {
    if (::getuid() == 0) {
        return; // root cuts by itself
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3]{};
    ::syscall(SYS_capset, &header, none);
}

} // namespace quillon::platform
