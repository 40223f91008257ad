#pragma once
// Starting the device's services: which ones a device offers and what each serves.
//   "com.apple.afc"                  the media area, device folder "media/"
//   "com.apple.afc2"                 the whole filesystem, "filesystem/", with the media area
//                                    mounted at /private/var/mobile/Media (also reachable as
//                                    /var/mobile/Media and /User/Media); only when the
//                                    device's "WholeFilesystem" is true
//   "com.apple.springboardservices"  app icons ("getIconPNGData")
// App containers come from AMDeviceStartHouseArrestService.

#include "Handles.h"

namespace mobiledevice {

// kAMDSuccess when the device is connected and has a session open.
AMDError requireSession(SimDevice *device);
AMDError startService(SimDevice *device, const char *serviceName, bool secure, AMDServiceConnectionRef *service);
AMDServiceConnectionRef newFileService(SimDevice *device, std::shared_ptr<FileArea> area, bool secure, bool wholeFilesystem);

} // namespace mobiledevice
