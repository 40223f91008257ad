// Crash-time rules for this file: no heap, no locks, no stdio.
#include "VUCrashObjC.h"

namespace {

constexpr uint64_t kStringPage = 4096;

// Maps the string a page at a time until its NUL is inside the mapping; a string that runs
// into memory that cannot be read fails instead of being cut.
vucrash_error_t readString(vucrash_async_macho_string_t *string)
{
    if (string->mapped)
        return VUCRASH_ERR_NONE;
    uint64_t pages = 1;
    vucrash_error_t err =
        vucrash_async_mobject_init(&string->mobj, string->image->task, string->address, kStringPage, false);
    if (err != VUCRASH_ERR_NONE)
        return err;

    for (uint64_t i = 0;; ++i) {
        if (!vucrash_async_mobject_verify_local_pointer(&string->mobj, string->mobj.address, static_cast<int64_t>(i),
                                                        1)) {
            VUCR_LOG("Mapped a string larger than one page! Remapping ...");
            vucrash_async_mobject_free(&string->mobj);
            ++pages;
            err = vucrash_async_mobject_init(&string->mobj, string->image->task, string->address,
                                             kStringPage * pages, false);
            if (err != VUCRASH_ERR_NONE)
                return err;
            if (!vucrash_async_mobject_verify_local_pointer(&string->mobj, string->mobj.address,
                                                            static_cast<int64_t>(i), 1)) {
                VUCR_LOG("Failed to remap additional space ...");
                vucrash_async_mobject_free(&string->mobj);
                return VUCRASH_ERR_INVAL;
            }
        }
        if (reinterpret_cast<const char *>(string->mobj.address)[i] == '\0') {
            string->length = i;
            string->mapped = true;
            return VUCRASH_ERR_NONE;
        }
    }
}

} // namespace

vucrash_error_t vucrash_async_macho_string_init(vucrash_async_macho_string_t *string, const vucrash_async_macho_t *image,
                                                uint64_t address)
{
    string->image = image;
    string->address = address;
    string->mapped = false;
    string->length = 0;
    return VUCRASH_ERR_NONE;
}

vucrash_error_t vucrash_async_macho_string_get_length(vucrash_async_macho_string_t *string, uint64_t *length)
{
    vucrash_error_t err = readString(string);
    if (err != VUCRASH_ERR_NONE)
        return err;
    *length = string->length;
    return VUCRASH_ERR_NONE;
}

vucrash_error_t vucrash_async_macho_string_get_pointer(vucrash_async_macho_string_t *string, const char **pointer)
{
    vucrash_error_t err = readString(string);
    if (err != VUCRASH_ERR_NONE)
        return err;
    *pointer = reinterpret_cast<const char *>(
        vucrash_async_mobject_remap_address(&string->mobj, string->address, 0, string->length + 1));
    return *pointer ? VUCRASH_ERR_NONE : VUCRASH_ERR_ACCESS;
}

void vucrash_async_macho_string_free(vucrash_async_macho_string_t *string)
{
    if (string->mapped)
        vucrash_async_mobject_free(&string->mobj);
    string->mapped = false;
}
