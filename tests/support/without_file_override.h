// Root opens any file whatever its mode. For the calling thread only (the raw
// capset call changes one thread), this drops the capabilities that allow it,
// so that the mode of a device node counts as it does for an ordinary user;
// they are restored on destruction. Without those capabilities it does nothing.
#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qwtest {

class WithoutFileOverride {
public:
  WithoutFileOverride() {
    saved_ok_ = syscall(SYS_capget, &header_, saved_) == 0;
    if (!saved_ok_)
      return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    syscall(SYS_capset, &header, reduced);
  }
  ~WithoutFileOverride() {
    if (saved_ok_) {
      __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
      syscall(SYS_capset, &header, saved_);
    }
  }
  WithoutFileOverride(const WithoutFileOverride &) = delete;
  WithoutFileOverride &operator=(const WithoutFileOverride &) = delete;

private:
  __user_cap_header_struct header_ = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2] = {};
  bool saved_ok_ = false;
};

} // namespace qwtest
