// The program's own __cxa_throw: every C++ throw of the code linked with it comes here
// first, has its stack recorded by the crashes service (when that is linked and
// listening) and then goes on to the runtime's entry, found once with dlsym(RTLD_NEXT).
#include <dlfcn.h>

#include <cstdlib>
#include <typeinfo>

extern "C" void vucrashes_record_cxx_throw(void *thrownObject) __attribute__((weak));

namespace {

using ThrowFunction = void (*)(void *, std::type_info *, void (*)(void *));

ThrowFunction originalThrow()
{
    static const ThrowFunction original = reinterpret_cast<ThrowFunction>(dlsym(RTLD_NEXT, "__cxa_throw"));
    return original;
}

} // namespace

extern "C" __attribute__((noreturn, noinline)) void __cxa_throw(void *thrownObject, std::type_info *type,
                                                                 void (*destructor)(void *))
{
    const ThrowFunction original = originalThrow();
    if (vucrashes_record_cxx_throw)
        vucrashes_record_cxx_throw(thrownObject);
    if (!original)
        std::abort();
    original(thrownObject, type, destructor);
    std::abort();
}
