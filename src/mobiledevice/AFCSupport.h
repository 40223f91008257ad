#pragma once
// Shared first step of the file entry points: the live file connection behind a handle,
// with the call counted for the fault file and refused when the device went away or a
// secure connection still lacks its context.

#include "Handles.h"

namespace mobiledevice {

AFCConnectionOpaque *enterFileConnection(AFCConnectionRef ref, const char *entryPoint, AFCError &error);

} // namespace mobiledevice
