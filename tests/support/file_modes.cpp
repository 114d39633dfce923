#include "file_modes.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace testing_support {
namespace {

constexpr unsigned kOverrides = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);

bool GetCaps(__user_cap_data_struct (&data)[2]) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return syscall(SYS_capget, &header, data) == 0;
}

bool SetCaps(__user_cap_data_struct (&data)[2]) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

FileModesBind::FileModesBind() {
  __user_cap_data_struct data[2] = {};
  if (!GetCaps(data)) return;
  if ((data[0].effective & kOverrides) == 0) {  // not root, or root without them: modes bind already
    active_ = true;
    return;
  }
  data[0].effective &= ~kOverrides;
  if (!SetCaps(data)) return;
  active_ = true;
  restore_ = true;
}

FileModesBind::~FileModesBind() {
  if (!restore_) return;
  __user_cap_data_struct data[2] = {};
  if (!GetCaps(data)) return;
  data[0].effective |= kOverrides & data[0].permitted;
  SetCaps(data);
}

bool FileModesBindPrograms() {
  if (geteuid() != 0) return true;
  __user_cap_data_struct data[2] = {};
  // Taking a capability out of the bounding set needs CAP_SETPCAP.
  return GetCaps(data) && (data[0].effective & (1u << CAP_SETPCAP)) != 0;
}

bool GiveUpFileModeOverrideForExec() {
  if (geteuid() != 0) return true;
  return prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) == 0 &&
         prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) == 0;
}

}  // namespace testing_support
