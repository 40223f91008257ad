#pragma once
// The helper's binding of the device framework (libmobiledevice): opened with dlopen and
// looked up entry point by entry point into pointers named like the entry points, as Quillon
// binds it. The library is found by Quillon's install layout (<bin>/../lib/libmobiledevice.so
// beside the program the application database names), else by the system's library search;
// QUILLON_MOBILEDEVICE_LIBRARY names another file.
//
// Required: subscription, the run-loop source, connect, disconnect, session start and stop,
// value copy. Optional (null when missing): the interface type. Main thread; the pointers are
// set once and read-only afterwards.

#include <mobiledevice/MobileDevice.h>

#include <string>

namespace HelperDevice {

extern AMDeviceNotificationSubscribe_f *AMDeviceNotificationSubscribe;
extern AMDRunLoopSourceGetDescriptor_f *AMDRunLoopSourceGetDescriptor;
extern AMDRunLoopSourcePerform_f *AMDRunLoopSourcePerform;
extern AMDeviceConnect_f *AMDeviceConnect;
extern AMDeviceDisconnect_f *AMDeviceDisconnect;
extern AMDeviceStartSession_f *AMDeviceStartSession;
extern AMDeviceStopSession_f *AMDeviceStopSession;
extern AMDeviceCopyValue_f *AMDeviceCopyValue;
extern AMDeviceGetInterfaceType_f *AMDeviceGetInterfaceType;

// The library file for a Quillon program at `quillonProgram`.
std::string libraryPathFor(const std::string &quillonProgram);

// Binds every pointer from `libraryPath`; false (with the reason logged) when the library
// cannot be opened or lacks a required entry point.
bool bind(const std::string &libraryPath);

} // namespace HelperDevice
