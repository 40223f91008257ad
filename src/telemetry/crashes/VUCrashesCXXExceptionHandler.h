#pragma once
// C++ exceptions nobody catches: every throw of the program records its stack (through the
// __cxa_throw wrapper, VUCrashesCXXThrow.cpp), and our terminate handler hands the escaping
// exception (type, message, throw-time frames) to the registered handlers. The crashes
// service registers uncaught_cxx_exception_handler, which passes it to the crash engine's
// uncaught-exception slot, so the report names the C++ type and message and shows the stack
// of the throw, not of the terminate handler.
//
// Thread-safe: a spin lock guards the handler list and the terminate-handler state; handlers
// run with it held and must not register or unregister. Throw records are per thread.

#include <cstdint>

struct VUCrashesUncaughtCXXExceptionInfo
{
    const void *exception;          // the std::exception_ptr on the terminate handler's stack
    const char *exceptionTypeName;  // mangled
    const char *exceptionMessage;   // or null
    uint32_t exceptionFramesCount;
    const uint64_t *exceptionFrames; // return addresses, innermost first
};

using VUCrashesUncaughtCXXExceptionHandler = void (*)(const VUCrashesUncaughtCXXExceptionInfo *info);

class VUCrashesUncaughtCXXExceptionHandlerManager
{
public:
    static void addCXXExceptionHandler(VUCrashesUncaughtCXXExceptionHandler handler);
    static void removeCXXExceptionHandler(VUCrashesUncaughtCXXExceptionHandler handler);
    static uint64_t countCXXExceptionHandler();
    // Whether our terminate handler is the one in force (as far as we installed it).
    static bool isTerminateHandlerInstalled();
};

void VUCrashesUncaughtCXXTerminateHandler();
// The crashes service's handler: the crash engine's uncaught-exception slot, then abort.
void uncaught_cxx_exception_handler(const VUCrashesUncaughtCXXExceptionInfo *info);

// Called by the __cxa_throw wrapper for every throw, before the runtime's own.
extern "C" void vucrashes_record_cxx_throw(void *thrownObject);
