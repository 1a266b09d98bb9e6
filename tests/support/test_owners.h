#pragma once
// Owners of what only the tests take, on the programs' own owner template
// (provision/owners.h): a loaded module and LocalAlloc'ed memory.
#include "owners.h"

#include <windows.h>

namespace testing_support {

struct LibraryTraits {
    using Value = HMODULE;
    static Value Empty() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Value v) { ::FreeLibrary(v); }
};
using UniqueLibrary = kelvane::UniqueHandle<LibraryTraits>;

template <typename Pointer>
struct LocalMemoryTraits {
    using Value = Pointer;
    static Value Empty() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Value v) { ::LocalFree(v); }
};
template <typename Pointer>
using UniqueLocal = kelvane::UniqueHandle<LocalMemoryTraits<Pointer>>;

}  // namespace testing_support
