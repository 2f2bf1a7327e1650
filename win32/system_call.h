// An entry point of a system library that is already loaded, looked up at run time, so that a
// program still starts on a Windows that lacks it: null there.
#pragma once

#include <cstring>

#include "kernel32.h"

template <typename Entry>
Entry systemCall(const char* library, const char* name) {
    HMODULE module = GetModuleHandleA(library);
    if (module == nullptr) return nullptr;
    const FARPROC found = GetProcAddress(module, name);
    Entry entry = nullptr;
    static_assert(sizeof entry == sizeof found, "entry points");
    memcpy(&entry, &found, sizeof entry);
    return entry;
}
