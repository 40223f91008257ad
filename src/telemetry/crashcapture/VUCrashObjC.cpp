// Crash-time rules for this file: no heap (the class cache is one mmap region), no locks, no
// stdio; image data is read through memory objects and checked task reads only.
#include "VUCrashObjC.h"

#include <sys/mman.h>

const uint64_t VUCRASH_ASYNC_OBJC_ISA_NONPTR_CLASS_MASK = 0x1FFFFFFF8ULL;

bool vucrash_async_objc_supports_nonptr_isa(uint32_t cpuType) { return cpuType == 0x0100000C; }

namespace {

constexpr uint32_t kRealized = 1u << 31;
constexpr uint32_t kCopiedRO = 1u << 27;
constexpr size_t kClassCacheEntries = 1024;

// The records of both pointer widths, as the runtime lays them out.
template<typename P> struct objc2_class {
    P isa, superclass, cache, vtable, data;
};
template<typename P> struct objc2_class_data_rw {
    uint32_t flags, version;
    P data_ro;
};
struct objc2_class_data_ro_64 {
    uint32_t flags, instanceStart, instanceSize, reserved;
    uint64_t ivarLayout, name, baseMethods, baseProtocols, ivars, weakIvarLayout, baseProperties;
};
struct objc2_class_data_ro_32 {
    uint32_t flags, instanceStart, instanceSize;
    uint32_t ivarLayout, name, baseMethods, baseProtocols, ivars, weakIvarLayout, baseProperties;
};
template<typename P> struct RO;
template<> struct RO<uint64_t> { using type = objc2_class_data_ro_64; };
template<> struct RO<uint32_t> { using type = objc2_class_data_ro_32; };
template<typename P> struct objc2_method {
    P name, types, imp;
};
template<typename P> struct objc2_category {
    P name, cls, instanceMethods, classMethods, protocols, instanceProperties;
};
struct objc2_list_header {
    uint32_t entsizeAndFlags, count;
};

static_assert(sizeof(objc2_class<uint64_t>) == 40 && sizeof(objc2_class<uint32_t>) == 20);
static_assert(sizeof(objc2_class_data_ro_64) == 72 && sizeof(objc2_class_data_ro_32) == 40);
static_assert(sizeof(objc2_category<uint64_t>) == 48 && sizeof(objc2_category<uint32_t>) == 24);

// Bytes of the read-write record that are read (the runtime's record is longer).
template<typename P> constexpr size_t rwReadSize = sizeof(P) == 8 ? 16 : 12;

uint32_t conv(const vucrash_async_macho_t *image, uint32_t v) { return image->byteorder->swap32(v); }
uint64_t conv(const vucrash_async_macho_t *image, uint64_t v) { return image->byteorder->swap64(v); }

// --- class cache -------------------------------------------------------------------------

uint64_t cacheLookup(const vucrash_async_objc_cache_t *cache, uint64_t key)
{
    if (cache->classCacheSize == 0)
        return 0;
    size_t slot = (key >> 2) % cache->classCacheSize;
    return cache->classCacheKeys[slot] == key ? cache->classCacheValues[slot] : 0;
}

void cacheSet(vucrash_async_objc_cache_t *cache, uint64_t key, uint64_t value)
{
    if (cache->classCacheSize == 0) {
        size_t bytes = kClassCacheEntries * 2 * sizeof(uint64_t);
        void *region = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (region == MAP_FAILED) {
            VUCR_LOG("vm_allocate failed with error %x, the class cache could not be initialized and ObjC parsing "
                          "will be substantially slower",
                          0u);
            return;
        }
        cache->classCacheSize = kClassCacheEntries;
        cache->classCacheKeys = static_cast<uint64_t *>(region);
        cache->classCacheValues = cache->classCacheKeys + kClassCacheEntries;
    }
    size_t slot = (key >> 2) % cache->classCacheSize;
    if (cache->classCacheKeys[slot] == 0) {
        cache->classCacheKeys[slot] = key;
        cache->classCacheValues[slot] = value;
    }
}

// --- section mappings --------------------------------------------------------------------

void freeMappedSections(vucrash_async_objc_cache_t *cache)
{
    if (cache->objcConstMobjInitialized)
        vucrash_async_mobject_free(&cache->objcConstMobj);
    if (cache->classMobjInitialized)
        vucrash_async_mobject_free(&cache->classMobj);
    if (cache->catMobjInitialized)
        vucrash_async_mobject_free(&cache->catMobj);
    if (cache->objcDataMobjInitialized)
        vucrash_async_mobject_free(&cache->objcDataMobj);
    cache->objcConstMobjInitialized = cache->classMobjInitialized = false;
    cache->catMobjInitialized = cache->objcDataMobjInitialized = false;
}

// Maps one section; a section the image does not have is left unmapped and is not an error.
vucrash_error_t mapOptional(const vucrash_async_macho_t *image, const char *section, vucrash_async_mobject_t *mobj,
                            bool *mapped)
{
    vucrash_error_t err = vucrash_async_macho_map_section(image, "__DATA", section, mobj);
    if (err == VUCRASH_ERR_NONE) {
        *mapped = true;
        return VUCRASH_ERR_NONE;
    }
    if (err == VUCRASH_ERR_NOTFOUND)
        return VUCRASH_ERR_NONE;
    VUCR_LOG("pl_async_macho_map_section(%s, %s, %s, %p) failure %d", image->name, "__DATA", section,
                  static_cast<void *>(mobj), err);
    return err;
}

// An image without categories (or without classes) simply has an empty list there; only an
// image with neither list, or without the constant data the lists point into, has no
// Objective-C 2 metadata.
vucrash_error_t mapSections(const vucrash_async_macho_t *image, vucrash_async_objc_cache_t *cache)
{
    if (cache->lastImage == image)
        return VUCRASH_ERR_NONE;
    freeMappedSections(cache);
    cache->lastImage = nullptr;

    vucrash_error_t err = vucrash_async_macho_map_section(image, "__DATA", "__objc_const", &cache->objcConstMobj);
    if (err != VUCRASH_ERR_NONE) {
        if (err != VUCRASH_ERR_NOTFOUND)
            VUCR_LOG("pl_async_macho_map_section(%p, %s, %s, %p) failure %d", static_cast<const void *>(image),
                          "__DATA", "__objc_const", static_cast<void *>(&cache->objcConstMobj), err);
        return err;
    }
    cache->objcConstMobjInitialized = true;
    if ((err = mapOptional(image, "__objc_classlist", &cache->classMobj, &cache->classMobjInitialized)) ||
        (err = mapOptional(image, "__objc_catlist", &cache->catMobj, &cache->catMobjInitialized)) ||
        (err = mapOptional(image, "__objc_data", &cache->objcDataMobj, &cache->objcDataMobjInitialized))) {
        freeMappedSections(cache);
        return err;
    }
    if (!cache->classMobjInitialized && !cache->catMobjInitialized) {
        freeMappedSections(cache);
        return VUCRASH_ERR_NOTFOUND;
    }
    cache->lastImage = image;
    return VUCRASH_ERR_NONE;
}

// --- Objective-C 2 ----------------------------------------------------------------------

template<typename P> struct ParsedClass {
    vucrash_async_macho_string_t name;
    typename RO<P>::type ro;
};

template<typename P>
vucrash_error_t copyROFromConst(vucrash_async_objc_cache_t *cache, uint64_t roAddress, typename RO<P>::type *ro)
{
    void *p = vucrash_async_mobject_remap_address(&cache->objcConstMobj, roAddress, 0, sizeof *ro);
    if (!p)
        return VUCRASH_ERR_INVALID_DATA;
    vucrash_async_memcpy(ro, p, sizeof *ro);
    return VUCRASH_ERR_NONE;
}

// Reads a class's name and read-only data. Not realized: NOTFOUND; any other failure:
// INVALID_DATA. On success the caller frees out->name.
template<typename P>
vucrash_error_t parseObjc2Class(const vucrash_async_macho_t *image, vucrash_async_objc_cache_t *cache,
                                const objc2_class<P> *cls, ParsedClass<P> *out)
{
    uint64_t dataPtr = conv(image, cls->data) & ~uint64_t(3);
    uint64_t roAddress = cacheLookup(cache, dataPtr);
    if (roAddress != 0) {
        if (copyROFromConst<P>(cache, roAddress, &out->ro) != VUCRASH_ERR_NONE &&
            vucrash_async_task_memcpy(image->task, roAddress, 0, &out->ro, sizeof out->ro) != VUCRASH_ERR_NONE) {
            VUCR_LOG("Failed to read validated class_ro data at 0x%llx", (unsigned long long)roAddress);
            return VUCRASH_ERR_INVALID_DATA;
        }
    } else {
        objc2_class_data_rw<P> rw{};
        vucrash_error_t err = vucrash_async_task_memcpy(image->task, dataPtr, 0, &rw, rwReadSize<P>);
        if (err != VUCRASH_ERR_NONE) {
            VUCR_LOG("vucrash_async_task_memcpy at 0x%llx error %d", (unsigned long long)dataPtr, err);
            return VUCRASH_ERR_INVALID_DATA;
        }
        uint32_t flags = conv(image, rw.flags);
        if (!(flags & kRealized))
            return VUCRASH_ERR_NOTFOUND;
        roAddress = conv(image, rw.data_ro);
        if ((flags & kCopiedRO) || !vucrash_async_macho_contains_address(image, roAddress)) {
            if (vucrash_async_task_memcpy(image->task, roAddress, 0, &out->ro, sizeof out->ro) != VUCRASH_ERR_NONE) {
                VUCR_LOG("vucrash_async_task_memcpy at 0x%llx returned NULL", (unsigned long long)roAddress);
                return VUCRASH_ERR_INVALID_DATA;
            }
        } else if (copyROFromConst<P>(cache, roAddress, &out->ro) != VUCRASH_ERR_NONE) {
            VUCR_LOG("vucrash_async_mobject_remap_address at 0x%llx returned NULL", (unsigned long long)roAddress);
            return VUCRASH_ERR_INVALID_DATA;
        }
        cacheSet(cache, dataPtr, roAddress);
    }
    vucrash_async_macho_string_init(&out->name, image, conv(image, out->ro.name));
    return VUCRASH_ERR_NONE;
}

template<typename P>
vucrash_error_t parseMethodList(const vucrash_async_macho_t *image, vucrash_async_objc_cache_t *cache,
                                vucrash_async_macho_string_t *className, bool isClassMethod, uint64_t listAddress,
                                vucrash_async_objc_found_method_cb callback, void *ctx)
{
    auto *header = static_cast<objc2_list_header *>(
        vucrash_async_mobject_remap_address(&cache->objcConstMobj, listAddress, 0, sizeof(objc2_list_header)));
    if (!header) {
        VUCR_LOG("vucrash_async_mobject_remap_address in objCConstMobj failed to map methods pointer 0x%llx",
                      (unsigned long long)listAddress);
        return VUCRASH_ERR_INVALID_DATA;
    }
    uint64_t entrySize = conv(image, header->entsizeAndFlags) & ~uint32_t(3);
    uint64_t count = conv(image, header->count);
    // An entry smaller than a method record would let each read run past the checked range.
    if (entrySize < sizeof(objc2_method<P>)) {
        VUCR_LOG("Method list at 0x%llx has entries of %llu bytes", (unsigned long long)listAddress,
                      (unsigned long long)entrySize);
        return VUCRASH_ERR_INVALID_DATA;
    }
    uint64_t length = count * entrySize; // both below 2^32: no overflow
    auto *entries = static_cast<const uint8_t *>(vucrash_async_mobject_remap_address(
        &cache->objcConstMobj, listAddress, sizeof(objc2_list_header), length));
    if (!entries) {
        VUCR_LOG("vucrash_async_mobject_remap_address at 0x%llx length %llu returned NULL",
                      (unsigned long long)listAddress, (unsigned long long)length);
        return VUCRASH_ERR_INVALID_DATA;
    }
    for (uint64_t i = 0; i < count; ++i) {
        objc2_method<P> method;
        vucrash_async_memcpy(&method, entries + i * entrySize, sizeof method);
        vucrash_async_macho_string_t methodName;
        vucrash_async_macho_string_init(&methodName, image, conv(image, method.name));
        callback(isClassMethod, className, &methodName, conv(image, method.imp), ctx);
        vucrash_async_macho_string_free(&methodName);
    }
    return VUCRASH_ERR_NONE;
}

template<typename P>
vucrash_error_t parseClassMethods(const vucrash_async_macho_t *image, vucrash_async_objc_cache_t *cache,
                                  const objc2_class<P> *cls, bool isClassMethod,
                                  vucrash_async_objc_found_method_cb callback, void *ctx)
{
    ParsedClass<P> parsed;
    vucrash_error_t err = parseObjc2Class(image, cache, cls, &parsed);
    if (err != VUCRASH_ERR_NONE)
        return err;
    uint64_t methods = conv(image, parsed.ro.baseMethods);
    if (methods != 0)
        err = parseMethodList<P>(image, cache, &parsed.name, isClassMethod, methods, callback, ctx);
    vucrash_async_macho_string_free(&parsed.name);
    return err;
}

template<typename P>
const objc2_class<P> *classInData(vucrash_async_objc_cache_t *cache, uint64_t address)
{
    if (!cache->objcDataMobjInitialized)
        return nullptr;
    return static_cast<const objc2_class<P> *>(
        vucrash_async_mobject_remap_address(&cache->objcDataMobj, address, 0, sizeof(objc2_class<P>)));
}

template<typename P>
vucrash_error_t parseObjc2(const vucrash_async_macho_t *image, vucrash_async_objc_cache_t *cache,
                           vucrash_async_objc_found_method_cb callback, void *ctx)
{
    vucrash_error_t classResult = VUCRASH_ERR_NONE;
    if (cache->classMobjInitialized) {
        auto *list = static_cast<const P *>(vucrash_async_mobject_remap_address(
            &cache->classMobj, cache->classMobj.base_address, 0, cache->classMobj.length));
        if (!list) {
            VUCR_LOG("vucrash_async_mobject_remap_address in objcConstMobj for pointer %llx returned NULL",
                          (unsigned long long)cache->classMobj.base_address);
            return VUCRASH_ERR_INVALID_DATA;
        }
        uint64_t count = cache->classMobj.length / sizeof(P);
        for (uint64_t i = 0; i < count; ++i) {
            uint64_t classPtr = conv(image, list[i]);
            const objc2_class<P> *cls = classInData<P>(cache, classPtr);
            if (!cls) {
                VUCR_LOG("vucrash_async_mobject_remap_address in objcDataMobj for pointer %llx returned NULL",
                              (unsigned long long)classPtr);
                return VUCRASH_ERR_INVALID_DATA;
            }
            vucrash_error_t err = parseClassMethods<P>(image, cache, cls, false, callback, ctx);
            if (err == VUCRASH_ERR_NOTFOUND) {
                classResult = err; // not realized: neither it nor its metaclass has run yet
                continue;
            }
            if (err != VUCRASH_ERR_NONE) {
                VUCR_LOG("pl_async_objc_parse_objc2_class error %d while parsing class", err);
                return err;
            }
            uint64_t isa = conv(image, cls->isa);
            if (vucrash_async_objc_supports_nonptr_isa(vucrash_async_macho_cpu_type(image)) && (isa & 1))
                isa &= VUCRASH_ASYNC_OBJC_ISA_NONPTR_CLASS_MASK;
            const objc2_class<P> *meta = classInData<P>(cache, isa);
            if (!meta) {
                VUCR_LOG("vucrash_async_mobject_remap_address in objcDataMobj for pointer %llx returned NULL",
                              (unsigned long long)isa);
                return VUCRASH_ERR_INVALID_DATA;
            }
            err = parseClassMethods<P>(image, cache, meta, true, callback, ctx);
            if (err != VUCRASH_ERR_NONE) {
                VUCR_LOG("pl_async_objc_parse_objc2_class error %d while parsing metaclass", err);
                return err;
            }
            classResult = VUCRASH_ERR_NONE;
        }
    }

    if (!cache->catMobjInitialized || cache->catMobj.length < sizeof(P))
        return classResult;

    auto *list = static_cast<const P *>(
        vucrash_async_mobject_remap_address(&cache->catMobj, cache->catMobj.base_address, 0, cache->catMobj.length));
    if (!list) {
        VUCR_LOG("vucrash_async_mobject_remap_address in catMobj for pointer %llx returned NULL",
                      (unsigned long long)cache->catMobj.base_address);
        return VUCRASH_ERR_INVALID_DATA;
    }
    vucrash_error_t categoryResult = VUCRASH_ERR_NONE;
    uint64_t count = cache->catMobj.length / sizeof(P);
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t categoryPtr = conv(image, list[i]);
        auto *category = static_cast<const objc2_category<P> *>(vucrash_async_mobject_remap_address(
            &cache->objcConstMobj, categoryPtr, 0, sizeof(objc2_category<P>)));
        if (!category) {
            VUCR_LOG("vucrash_async_mobject_remap_address in objcDataMobj for pointer %llx returned NULL",
                          (unsigned long long)categoryPtr);
            return VUCRASH_ERR_INVALID_DATA;
        }
        uint64_t classPtr = conv(image, category->cls);
        objc2_class<P> localClass;
        const objc2_class<P> *cls = classInData<P>(cache, classPtr);
        if (!cls) {
            if (vucrash_async_task_memcpy(image->task, classPtr, 0, &localClass, sizeof localClass) !=
                VUCRASH_ERR_NONE) {
                VUCR_LOG("vucrash_async_task_memcpy() for pointer %llx returned NULL",
                              (unsigned long long)classPtr);
                VUCR_LOG("pl_async_objc_parse_objc2_class error %d while parsing class",
                              VUCRASH_ERR_INVALID_DATA);
                return VUCRASH_ERR_INVALID_DATA;
            }
            cls = &localClass;
        }
        ParsedClass<P> parsed;
        vucrash_error_t err = parseObjc2Class(image, cache, cls, &parsed);
        if (err == VUCRASH_ERR_NONE) {
            uint64_t instanceMethods = conv(image, category->instanceMethods);
            uint64_t classMethods = conv(image, category->classMethods);
            if (instanceMethods != 0)
                err = parseMethodList<P>(image, cache, &parsed.name, false, instanceMethods, callback, ctx);
            if (err == VUCRASH_ERR_NONE && classMethods != 0)
                err = parseMethodList<P>(image, cache, &parsed.name, true, classMethods, callback, ctx);
            vucrash_async_macho_string_free(&parsed.name);
        }
        if (err == VUCRASH_ERR_NOTFOUND) {
            categoryResult = err;
            continue;
        }
        if (err != VUCRASH_ERR_NONE) {
            VUCR_LOG("pl_async_objc_parse_objc2_class error %d while parsing class", err);
            return err;
        }
        categoryResult = VUCRASH_ERR_NONE;
    }
    return count > 0 ? categoryResult : classResult;
}

// --- Objective-C 1 ----------------------------------------------------------------------

struct objc1_class {
    uint32_t isa, superclass, name, version, info, instanceSize, ivars, methodLists, cache, protocols;
};
struct objc1_method {
    uint32_t name, types, imp;
};
constexpr uint32_t kObjc1SingleMethodList = 0x4000;
constexpr uint32_t kObjc1MaxMethodLists = 4096;

vucrash_error_t parseObjc1MethodList(const vucrash_async_macho_t *image, vucrash_async_macho_string_t *className,
                                     bool isClassMethod, uint32_t listAddress,
                                     vucrash_async_objc_found_method_cb callback, void *ctx)
{
    uint32_t header[2];
    vucrash_error_t err = vucrash_async_task_memcpy(image->task, listAddress, 0, header, sizeof header);
    if (err != VUCRASH_ERR_NONE) {
        VUCR_LOG("vucrash_async_task_memcpy at 0x%llx error %d", (unsigned long long)listAddress, err);
        return err;
    }
    uint32_t count = conv(image, header[1]);
    for (uint32_t i = 0; i < count; ++i) {
        objc1_method method;
        uint64_t at = uint64_t(listAddress) + sizeof header + uint64_t(i) * sizeof method;
        if ((err = vucrash_async_task_memcpy(image->task, at, 0, &method, sizeof method)) != VUCRASH_ERR_NONE) {
            VUCR_LOG("vucrash_async_task_memcpy at 0x%llx error %d", (unsigned long long)at, err);
            return err;
        }
        vucrash_async_macho_string_t methodName;
        vucrash_async_macho_string_init(&methodName, image, conv(image, method.name));
        callback(isClassMethod, className, &methodName, conv(image, method.imp), ctx);
        vucrash_async_macho_string_free(&methodName);
    }
    return VUCRASH_ERR_NONE;
}

vucrash_error_t parseObjc1Class(const vucrash_async_macho_t *image, const objc1_class *cls, bool isClassMethod,
                                vucrash_async_objc_found_method_cb callback, void *ctx)
{
    vucrash_async_macho_string_t className;
    vucrash_async_macho_string_init(&className, image, conv(image, cls->name));
    uint32_t lists = conv(image, cls->methodLists);
    vucrash_error_t err = VUCRASH_ERR_NONE;
    if (lists == 0) {
        // no methods
    } else if (conv(image, cls->info) & kObjc1SingleMethodList) {
        err = parseObjc1MethodList(image, &className, isClassMethod, lists, callback, ctx);
    } else {
        for (uint32_t i = 0; i < kObjc1MaxMethodLists && err == VUCRASH_ERR_NONE; ++i) {
            uint32_t list;
            uint64_t at = uint64_t(lists) + uint64_t(i) * 4;
            if ((err = vucrash_async_task_memcpy(image->task, at, 0, &list, sizeof list)) != VUCRASH_ERR_NONE) {
                VUCR_LOG("vucrash_async_task_memcpy at 0x%llx error %d", (unsigned long long)at, err);
                break;
            }
            list = conv(image, list);
            if (list == 0 || list == 0xFFFFFFFF)
                break;
            err = parseObjc1MethodList(image, &className, isClassMethod, list, callback, ctx);
        }
    }
    vucrash_async_macho_string_free(&className);
    return err;
}

// Returns NOTFOUND when the image has no Objective-C 1 module table (go on with version 2).
vucrash_error_t parseObjc1(const vucrash_async_macho_t *image, vucrash_async_objc_found_method_cb callback, void *ctx)
{
    vucrash_async_mobject_t modules;
    vucrash_error_t err = vucrash_async_macho_map_section(image, "__OBJC", "__module_info", &modules);
    if (err == VUCRASH_ERR_NOTFOUND)
        return err;
    if (err != VUCRASH_ERR_NONE) {
        VUCR_LOG("pl_async_macho_map_section(%p, %s, %s, %p) failure %d", static_cast<const void *>(image),
                      "__OBJC", "__module_info", static_cast<void *>(&modules), err);
        return err;
    }
    auto *entries = static_cast<const uint8_t *>(
        vucrash_async_mobject_remap_address(&modules, modules.base_address, 0, modules.length));
    if (!entries) {
        VUCR_LOG("Failed to obtain pointer from %s memory object", "__module_info");
        vucrash_async_mobject_free(&modules);
        return VUCRASH_ERR_NOTFOUND;
    }
    uint64_t count = modules.length / 16;
    err = VUCRASH_ERR_NONE;
    for (uint64_t m = 0; m < count && err == VUCRASH_ERR_NONE; ++m) {
        uint32_t symtab;
        vucrash_async_memcpy(&symtab, entries + m * 16 + 12, 4);
        symtab = conv(image, symtab);
        if (symtab == 0)
            continue;
        uint8_t header[12];
        if ((err = vucrash_async_task_memcpy(image->task, symtab, 0, header, sizeof header)) != VUCRASH_ERR_NONE) {
            VUCR_LOG("vucrash_async_task_memcpy at 0x%llx error %d", (unsigned long long)symtab, err);
            break;
        }
        uint16_t classCount;
        vucrash_async_memcpy(&classCount, header + 8, 2);
        classCount = image->byteorder->swap16(classCount);
        for (uint16_t c = 0; c < classCount && err == VUCRASH_ERR_NONE; ++c) {
            uint32_t classPtr;
            uint64_t at = uint64_t(symtab) + sizeof header + uint64_t(c) * 4;
            objc1_class cls, meta;
            if ((err = vucrash_async_task_memcpy(image->task, at, 0, &classPtr, 4)) != VUCRASH_ERR_NONE ||
                (err = vucrash_async_task_memcpy(image->task, conv(image, classPtr), 0, &cls, sizeof cls)) !=
                    VUCRASH_ERR_NONE) {
                VUCR_LOG("vucrash_async_task_memcpy at 0x%llx error %d", (unsigned long long)at, err);
                break;
            }
            if ((err = parseObjc1Class(image, &cls, false, callback, ctx)) != VUCRASH_ERR_NONE) {
                VUCR_LOG("pl_async_parse_obj1_class error %d while parsing class", err);
                break;
            }
            if ((err = vucrash_async_task_memcpy(image->task, conv(image, cls.isa), 0, &meta, sizeof meta)) !=
                VUCRASH_ERR_NONE) {
                VUCR_LOG("vucrash_async_task_memcpy at 0x%llx error %d",
                              (unsigned long long)conv(image, cls.isa), err);
                break;
            }
            if ((err = parseObjc1Class(image, &meta, true, callback, ctx)) != VUCRASH_ERR_NONE)
                VUCR_LOG("pl_async_parse_obj1_class error %d while parsing metaclass", err);
        }
    }
    vucrash_async_mobject_free(&modules);
    // A module table with nothing wrong in it is the answer, even when it had no classes.
    return err == VUCRASH_ERR_NOTFOUND ? VUCRASH_ERR_INVALID_DATA : err;
}

vucrash_error_t parse(const vucrash_async_macho_t *image, vucrash_async_objc_cache_t *cache,
                      vucrash_async_objc_found_method_cb callback, void *ctx)
{
    if (!cache)
        return VUCRASH_ERR_ACCESS;
    if (!cache->gotObjC2Info) {
        vucrash_error_t err = parseObjc1(image, callback, ctx);
        if (err != VUCRASH_ERR_NOTFOUND)
            return err;
    }
    vucrash_error_t err = mapSections(image, cache);
    if (err != VUCRASH_ERR_NONE) {
        if (err != VUCRASH_ERR_NOTFOUND)
            VUCR_LOG("Unable to map relevant sections for ObjC2 class parsing, error %d", err);
        return err;
    }
    err = image->m64 ? parseObjc2<uint64_t>(image, cache, callback, ctx)
                     : parseObjc2<uint32_t>(image, cache, callback, ctx);
    if (err == VUCRASH_ERR_NONE)
        cache->gotObjC2Info = true;
    return err;
}

struct FindContext {
    uint64_t address;
    uint64_t best;
    bool reported;
    vucrash_async_objc_found_method_cb callback;
    void *ctx;
};

void searchCallback(bool, vucrash_async_macho_string_t *, vucrash_async_macho_string_t *, uint64_t imp, void *ctx)
{
    auto *find = static_cast<FindContext *>(ctx);
    if (imp >= find->best && imp <= find->address)
        find->best = imp;
}

void callCallback(bool isClassMethod, vucrash_async_macho_string_t *className, vucrash_async_macho_string_t *methodName,
                  uint64_t imp, void *ctx)
{
    auto *find = static_cast<FindContext *>(ctx);
    if (find->reported || imp != find->best)
        return;
    find->reported = true;
    find->callback(isClassMethod, className, methodName, imp, find->ctx);
}

} // namespace

vucrash_error_t vucrash_async_objc_cache_init(vucrash_async_objc_cache_t *cache)
{
    vucrash_async_memset(cache, 0, sizeof *cache);
    return VUCRASH_ERR_NONE;
}

void vucrash_async_objc_cache_free(vucrash_async_objc_cache_t *cache)
{
    freeMappedSections(cache);
    cache->lastImage = nullptr;
    if (cache->classCacheSize > 0)
        munmap(cache->classCacheKeys, cache->classCacheSize * 2 * sizeof(uint64_t));
    cache->classCacheSize = 0;
    cache->classCacheKeys = cache->classCacheValues = nullptr;
}

vucrash_error_t vucrash_async_objc_find_method(const vucrash_async_macho_t *image, vucrash_async_objc_cache_t *cache,
                                               uint64_t imp, vucrash_async_objc_found_method_cb callback, void *ctx)
{
    FindContext find{imp, 0, false, callback, ctx};
    vucrash_error_t err = parse(image, cache, searchCallback, &find);
    if (err != VUCRASH_ERR_NONE && err != VUCRASH_ERR_NOTFOUND) {
        VUCR_LOG("pl_async_objc_parse(%p, 0x%llx, %p, %p) failure %d", static_cast<const void *>(image),
                      (unsigned long long)imp, reinterpret_cast<void *>(callback), ctx, err);
        return err;
    }
    // The walk's own result only tells about its last class or category: a method found in an
    // earlier one still counts when the last was not realized.
    if (find.best == 0)
        return VUCRASH_ERR_NOTFOUND;
    err = parse(image, cache, callCallback, &find);
    if (find.reported)
        return VUCRASH_ERR_NONE;
    return err != VUCRASH_ERR_NONE ? err : VUCRASH_ERR_NOTFOUND;
}
