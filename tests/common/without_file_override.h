// Root opens any file; dropping the override for the calling thread lets a
// mode of 0 refuse an open as it refuses a user without the rights (no udev
// rule for a USB node, not in the group of a serial port).
#ifndef KESTRANE_TESTS_WITHOUT_FILE_OVERRIDE_H
#define KESTRANE_TESTS_WITHOUT_FILE_OVERRIDE_H

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

class WithoutFileOverride {
public:
    WithoutFileOverride()
    {
        syscall(SYS_capget, &header_, saved_);
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~(1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH);
        syscall(SYS_capset, &header_, reduced);
    }
    ~WithoutFileOverride() { syscall(SYS_capset, &header_, saved_); }
    WithoutFileOverride(const WithoutFileOverride &) = delete;
    WithoutFileOverride &operator=(const WithoutFileOverride &) = delete;

private:
    __user_cap_header_struct header_ = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2] = {};
};

#endif
