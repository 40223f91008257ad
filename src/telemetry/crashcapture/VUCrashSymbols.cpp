// Crash-time rules for this file: no heap, no locks, no stdio.
#include "VUCrashSymbols.h"

namespace {

constexpr size_t kNameBufferSize = 256;

struct LookupState {
    char name[kNameBufferSize];
    bool found;
    uint64_t address;
};

// A later candidate replaces an earlier one unless it starts lower, so on equal addresses the
// Objective-C method (looked up second) wins over the symbol table's entry.
bool accept(LookupState *state, uint64_t address)
{
    return !state->found || address >= state->address;
}

void macho_symbol_callback(uint64_t address, const char *name, void *ctx)
{
    auto *state = static_cast<LookupState *>(ctx);
    if (!accept(state, address))
        return;
    size_t i = 0;
    for (; i < kNameBufferSize - 1 && name[i] != '\0'; ++i)
        state->name[i] = name[i];
    state->name[i] = '\0';
    state->address = address;
    state->found = true;
}

void objc_symbol_callback(bool isClassMethod, vucrash_async_macho_string_t *className,
                          vucrash_async_macho_string_t *methodName, uint64_t imp, void *ctx)
{
    auto *state = static_cast<LookupState *>(ctx);
    if (!accept(state, imp))
        return;
    uint64_t classLength = 0, methodLength = 0;
    const char *classPtr = nullptr, *methodPtr = nullptr;
    vucrash_error_t err;
    if ((err = vucrash_async_macho_string_get_length(className, &classLength)) != VUCRASH_ERR_NONE) {
        VUCR_LOG("vucrash_async_macho_string_get_length(className) error %d", err);
        return;
    }
    if ((err = vucrash_async_macho_string_get_pointer(className, &classPtr)) != VUCRASH_ERR_NONE) {
        VUCR_LOG("vucrash_async_macho_string_get_pointer(className) error %d", err);
        return;
    }
    if ((err = vucrash_async_macho_string_get_length(methodName, &methodLength)) != VUCRASH_ERR_NONE) {
        VUCR_LOG("vucrash_async_macho_string_get_length(methodName) error %d", err);
        return;
    }
    if ((err = vucrash_async_macho_string_get_pointer(methodName, &methodPtr)) != VUCRASH_ERR_NONE) {
        VUCR_LOG("vucrash_async_macho_string_get_pointer(methodName) error %d", err);
        return;
    }

    size_t pos = 0;
    auto put = [&](char c) {
        if (pos < kNameBufferSize - 1)
            state->name[pos++] = c;
    };
    put(isClassMethod ? '+' : '-');
    put('[');
    for (uint64_t i = 0; i < classLength; ++i)
        put(classPtr[i]);
    put(' ');
    for (uint64_t i = 0; i < methodLength; ++i)
        put(methodPtr[i]);
    put(']');
    state->name[pos] = '\0';
    state->address = imp;
    state->found = true;
}

} // namespace

vucrash_error_t vucrash_async_symbol_cache_init(vucrash_async_symbol_cache_t *cache)
{
    return vucrash_async_objc_cache_init(cache);
}

void vucrash_async_symbol_cache_free(vucrash_async_symbol_cache_t *cache) { vucrash_async_objc_cache_free(cache); }

vucrash_error_t vucrash_async_find_symbol(const vucrash_async_image_t *image, vucrash_async_symbol_strategy_t strategy,
                                          vucrash_async_symbol_cache_t *cache, uint64_t pc,
                                          vucrash_async_found_symbol_cb callback, void *ctx)
{
    LookupState state;
    state.found = false;
    state.address = 0;
    state.name[0] = '\0';

    vucrash_error_t tableErr = VUCRASH_ERR_NOTFOUND;
    vucrash_error_t objcErr = VUCRASH_ERR_NOTFOUND;
    const bool macho = image->format == VUCRASH_ASYNC_IMAGE_MACHO;
    if (strategy & VUCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE)
        tableErr = macho ? vucrash_async_macho_find_symbol_by_pc(&image->macho, pc, macho_symbol_callback, &state)
                         : vucrash_async_elf_find_symbol_by_pc(&image->elf, pc, macho_symbol_callback, &state);
    // ELF images carry no Objective-C metadata.
    if ((strategy & VUCRASH_ASYNC_SYMBOL_STRATEGY_OBJC) && macho)
        objcErr = vucrash_async_objc_find_method(&image->macho, cache, pc, objc_symbol_callback, &state);

    if (tableErr != VUCRASH_ERR_NONE && objcErr != VUCRASH_ERR_NONE) {
        VUCR_LOG("Could not find symbol for PC %llx image %p", (unsigned long long)pc,
                      static_cast<const void *>(image));
        VUCR_LOG("pl_async_macho_find_symbol error %d, pl_async_objc_find_method error %d", tableErr, objcErr);
        // With only the metadata asked, its own error is the answer, not the table's NOTFOUND.
        if (!(strategy & VUCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE))
            return objcErr;
        return tableErr;
    }
    if (state.found) {
        callback(state.address, state.name, ctx);
        return VUCRASH_ERR_NONE;
    }
    VUCR_LOG("Unexpected error occured in symbol lookup callbacks for PC %llximage %p; returning error",
                  (unsigned long long)pc, static_cast<const void *>(image));
    return VUCRASH_ERR_INTERNAL;
}
