// velcrashplatform.h -- the crash half of the fault disk (velfaultdisk.h)
// under the names the journal tests use.
#ifndef TESTSUPPORT_VELCRASHPLATFORM_H
#define TESTSUPPORT_VELCRASHPLATFORM_H

#include "velfaultdisk.h"

namespace VELCrashPlatform {

inline long long& g_crashAt = VELFaultDisk::disk().crashAt;
inline bool& g_dead = VELFaultDisk::disk().dead;

using VELFaultDisk::crashAt;
using VELFaultDisk::installCrash;

template <class F>
long long countCalls(F&& body) {
  return VELFaultDisk::countChanges(body);
}

}  // namespace VELCrashPlatform

#endif
