#include "telemetry/crashes/VUCrashesCXXExceptionHandler.h"

#include "VUCrashReporter.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

constexpr int kMaxFrames = 128;

// One per thread that threw while our handler was installed: the thrown object and the
// throw's return addresses, the throw entry itself first.
struct VUCrashesCXXThrowRecord
{
    void *thrownObject;
    uint64_t frames[kMaxFrames];
    uint32_t framesCount;
};

class SpinLock
{
public:
    void lock()
    {
        while (mFlag.test_and_set(std::memory_order_acquire)) {
        }
    }
    void unlock() { mFlag.clear(std::memory_order_release); }

private:
    std::atomic_flag mFlag = ATOMIC_FLAG_INIT;
};

SpinLock gLock;
std::vector<VUCrashesUncaughtCXXExceptionHandler> gHandlers;
std::atomic<bool> gTerminateHandlerInstalled{false};
std::terminate_handler gOriginalTerminateHandler = nullptr;
pthread_key_t gRecordKey;
pthread_once_t gRecordKeyOnce = PTHREAD_ONCE_INIT;

void makeKey()
{
    pthread_key_create(&gRecordKey, free);
}

struct Guard
{
    Guard() { gLock.lock(); }
    ~Guard() { gLock.unlock(); }
};

// The object a std::exception_ptr holds (libstdc++ keeps exactly that pointer).
const void *thrownObjectOf(const std::exception_ptr &exception)
{
    static_assert(sizeof(std::exception_ptr) == sizeof(void *));
    const void *object = nullptr;
    std::memcpy(&object, &exception, sizeof object);
    return object;
}

[[noreturn]] void endWithPrevious(std::terminate_handler previous)
{
    if (previous)
        previous();
    std::abort();
}

} // namespace

extern "C" __attribute__((noinline)) void vucrashes_record_cxx_throw(void *thrownObject)
{
    if (!gTerminateHandlerInstalled.load(std::memory_order_acquire))
        return;
    pthread_once(&gRecordKeyOnce, makeKey);
    auto *record = static_cast<VUCrashesCXXThrowRecord *>(pthread_getspecific(gRecordKey));
    if (!record) {
        record = static_cast<VUCrashesCXXThrowRecord *>(calloc(1, sizeof(VUCrashesCXXThrowRecord)));
        if (!record || pthread_setspecific(gRecordKey, record) != 0) {
            free(record);
            return;
        }
    }
    // Our own frame is left out, so the first is the throw entry that called us.
    void *frames[kMaxFrames + 1];
    const int count = backtrace(frames, kMaxFrames + 1);
    record->thrownObject = thrownObject;
    record->framesCount = count > 1 ? uint32_t(count - 1) : 0;
    for (uint32_t i = 0; i < record->framesCount; ++i)
        record->frames[i] = reinterpret_cast<uintptr_t>(frames[i + 1]);
}

void VUCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(VUCrashesUncaughtCXXExceptionHandler handler)
{
    pthread_once(&gRecordKeyOnce, makeKey);
    Guard guard;
    if (!gTerminateHandlerInstalled.load()) {
        gOriginalTerminateHandler = std::set_terminate(VUCrashesUncaughtCXXTerminateHandler);
        gTerminateHandlerInstalled.store(true, std::memory_order_release);
    }
    gHandlers.push_back(handler);
}

void VUCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(VUCrashesUncaughtCXXExceptionHandler handler)
{
    Guard guard;
    const auto it = std::find(gHandlers.begin(), gHandlers.end(), handler);
    if (it != gHandlers.end())
        gHandlers.erase(it);
    if (gTerminateHandlerInstalled.load() && gHandlers.empty()) {
        const std::terminate_handler replaced = std::set_terminate(gOriginalTerminateHandler);
        if (replaced == VUCrashesUncaughtCXXTerminateHandler) {
            gTerminateHandlerInstalled.store(false);
            gOriginalTerminateHandler = nullptr;
        } else {
            // Someone replaced ours meanwhile: theirs stays in force.
            std::set_terminate(replaced);
        }
    }
}

uint64_t VUCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler()
{
    Guard guard;
    return gHandlers.size();
}

bool VUCrashesUncaughtCXXExceptionHandlerManager::isTerminateHandlerInstalled()
{
    return gTerminateHandlerInstalled.load();
}

void VUCrashesUncaughtCXXTerminateHandler()
{
    std::exception_ptr current = std::current_exception();
    gLock.lock();
    const std::terminate_handler previous = gOriginalTerminateHandler;
    if (!current) {
        gLock.unlock();
        endWithPrevious(previous);
    }
    VUCrashesUncaughtCXXExceptionInfo info = {};
    info.exception = &current;
    const std::type_info *type = abi::__cxa_current_exception_type();
    info.exceptionTypeName = type ? type->name() : nullptr;

    uint64_t fresh[kMaxFrames] = {};
    pthread_once(&gRecordKeyOnce, makeKey);
    const auto *record = static_cast<const VUCrashesCXXThrowRecord *>(pthread_getspecific(gRecordKey));
    // The thread's last throw is this exception's only when it threw this very object; an
    // exception rethrown here from another thread has its stack taken afresh.
    if (record && record->thrownObject == thrownObjectOf(current) && record->framesCount > 0) {
        info.exceptionFramesCount = record->framesCount - 1;
        info.exceptionFrames = record->frames + 1;
    } else {
        void *frames[kMaxFrames];
        const int count = backtrace(frames, kMaxFrames);
        for (int i = 1; i < count; ++i)
            fresh[i - 1] = reinterpret_cast<uintptr_t>(frames[i]);
        info.exceptionFramesCount = count > 1 ? uint32_t(count - 1) : 0;
        info.exceptionFrames = fresh;
    }

    std::string message;
    bool hasMessage = true;
    try {
        std::rethrow_exception(current);
    } catch (const std::exception &e) {
        message = e.what();
    } catch (const std::exception *e) {
        if (e)
            message = e->what();
        else
            hasMessage = false;
    } catch (const std::string &s) {
        message = s;
    } catch (const std::string *s) {
        if (s)
            message = *s;
        else
            hasMessage = false;
    } catch (const char *text) {
        if (text)
            message = text;
        else
            hasMessage = false;
    } catch (...) {
        hasMessage = false;
    }
    info.exceptionMessage = hasMessage ? message.c_str() : nullptr;
    for (const auto handler : gHandlers)
        handler(&info);
    gLock.unlock();
    endWithPrevious(previous);
}

void uncaught_cxx_exception_handler(const VUCrashesUncaughtCXXExceptionInfo *info)
{
    const VUCrashUncaughtExceptionHandler handler = VUCrashGetUncaughtExceptionHandler();
    const char *rawName = info->exceptionTypeName ? info->exceptionTypeName : "";
    int status = -1;
    char *demangled = abi::__cxa_demangle(rawName, nullptr, nullptr, &status);
    const char *name = status == 0 && demangled ? demangled : rawName;
    if (handler)
        handler(name, info->exceptionMessage ? info->exceptionMessage : "", info->exceptionFrames,
                info->exceptionFramesCount);
    free(demangled);
    std::abort();
}
