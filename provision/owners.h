#pragma once
// Move-only owners of the Win32 and COM resources the run takes. Each releases
// its resource exactly once, when it goes out of scope; owners in one scope go
// in reverse order of declaration, so the first declared is released last.
#include <windows.h>
#include <oleauto.h>
#include <utility>

#include "system_calls.h"

namespace kelvane {

template <typename Traits>
class UniqueHandle {
public:
    using Value = typename Traits::Value;
    UniqueHandle() = default;
    explicit UniqueHandle(Value value) : value_(value) {}
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Value get() const { return value_; }
    explicit operator bool() const { return Traits::IsValid(value_); }
    // Frees the held value first, so an owner reused in a loop cannot leak.
    Value* put()
    {
        reset();
        return &value_;
    }
    Value release() { return std::exchange(value_, Traits::Empty()); }
    void reset(Value value = Traits::Empty())
    {
        if (Traits::IsValid(value_))
            Traits::Close(value_);
        value_ = value;
    }

private:
    Value value_ = Traits::Empty();
};

struct KernelHandleTraits {
    using Value = HANDLE;
    static Value Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Value v) { return v != INVALID_HANDLE_VALUE && v != nullptr; }
    static void Close(Value v) { ::CloseHandle(v); }
};

struct FindHandleTraits {
    using Value = HANDLE;
    static Value Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Value v) { return v != INVALID_HANDLE_VALUE && v != nullptr; }
    static void Close(Value v) { ::FindClose(v); }
};

struct RegKeyTraits {
    using Value = HKEY;
    static Value Empty() { return nullptr; }
    // The all-ones value is what a failed open can leave behind; it is no key.
    static bool IsValid(Value v) { return v != nullptr && v != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE); }
    static void Close(Value v) { ::RegCloseKey(v); }
};

struct BstrTraits {
    using Value = BSTR;
    static Value Empty() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Value v) { ::SysFreeString(v); }
};

using UniqueFile = UniqueHandle<KernelHandleTraits>;
using UniqueKernelObject = UniqueHandle<KernelHandleTraits>;
using UniqueFind = UniqueHandle<FindHandleTraits>;
using UniqueHkey = UniqueHandle<RegKeyTraits>;
using UniqueBstr = UniqueHandle<BstrTraits>;

class UniqueVariant {
public:
    UniqueVariant() { ::VariantInit(&value_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    ~UniqueVariant() { ::VariantClear(&value_); }
    VARIANT* get() { return &value_; }
    const VARIANT& operator*() const { return value_; }

private:
    VARIANT value_;
};

template <typename Interface>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { reset(); }

    Interface* get() const { return ptr_; }
    Interface* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    Interface** put()
    {
        reset();
        return &ptr_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    void reset()
    {
        if (ptr_ != nullptr)
            std::exchange(ptr_, nullptr)->Release();
    }

private:
    Interface* ptr_ = nullptr;
};

// Exists only once CoInitializeEx has succeeded; its destruction is the
// matching CoUninitialize.
class CoUninitializeOnExit {
public:
    CoUninitializeOnExit() = default;
    CoUninitializeOnExit(const CoUninitializeOnExit&) = delete;
    CoUninitializeOnExit& operator=(const CoUninitializeOnExit&) = delete;
    ~CoUninitializeOnExit() { KELVANE_SYSCALL(CoUninitialize)(); }
};

}  // namespace kelvane
