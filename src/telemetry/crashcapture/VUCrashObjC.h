#pragma once
// Finds the Objective-C method whose implementation starts at the highest address not above a
// given one, by walking an image's own class metadata in memory (Objective-C 2 class and
// category lists, or the Objective-C 1 module table of legacy images). Symbol lookup asks it
// when the symbolication strategy has bit 2 set; it also provides the lazily mapped strings
// that carry class and method names to the callbacks.
//
// Crash-time safe: reads go through memory objects and checked task reads; no heap, no lock.
// The class cache is one region from mmap, made on its first insertion. A cache belongs to
// one caller at a time.

#include "VUCrashMachO.h"

struct vucrash_async_macho_string_t {
    const vucrash_async_macho_t *image;
    uint64_t address;
    vucrash_async_mobject_t mobj;
    bool mapped;
    uint64_t length;
};

vucrash_error_t vucrash_async_macho_string_init(vucrash_async_macho_string_t *string, const vucrash_async_macho_t *image,
                                                uint64_t address);
vucrash_error_t vucrash_async_macho_string_get_length(vucrash_async_macho_string_t *string, uint64_t *length);
vucrash_error_t vucrash_async_macho_string_get_pointer(vucrash_async_macho_string_t *string, const char **pointer);
void vucrash_async_macho_string_free(vucrash_async_macho_string_t *string);

struct vucrash_async_objc_cache_t {
    bool gotObjC2Info;
    const vucrash_async_macho_t *lastImage;
    vucrash_async_mobject_t objcConstMobj;
    bool objcConstMobjInitialized;
    vucrash_async_mobject_t classMobj;
    bool classMobjInitialized;
    vucrash_async_mobject_t catMobj;
    bool catMobjInitialized;
    vucrash_async_mobject_t objcDataMobj;
    bool objcDataMobjInitialized;
    size_t classCacheSize;
    uint64_t *classCacheKeys;
    uint64_t *classCacheValues;
};

// The isa of a class on images of this CPU type may carry flag bits beside the class pointer.
bool vucrash_async_objc_supports_nonptr_isa(uint32_t cpuType);
extern const uint64_t VUCRASH_ASYNC_OBJC_ISA_NONPTR_CLASS_MASK;

vucrash_error_t vucrash_async_objc_cache_init(vucrash_async_objc_cache_t *cache);
void vucrash_async_objc_cache_free(vucrash_async_objc_cache_t *cache);

typedef void (*vucrash_async_objc_found_method_cb)(bool isClassMethod, vucrash_async_macho_string_t *className,
                                                   vucrash_async_macho_string_t *methodName, uint64_t imp,
                                                   void *ctx);
vucrash_error_t vucrash_async_objc_find_method(const vucrash_async_macho_t *image, vucrash_async_objc_cache_t *cache,
                                               uint64_t imp, vucrash_async_objc_found_method_cb callback,
                                               void *ctx);
