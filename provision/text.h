#pragma once
// Fixed-capacity UTF-16 text shared by the stages of a run. Capacities count
// UTF-16 units including the terminating NUL.
#include <cstddef>
#include <cwchar>

namespace kelvane {

constexpr std::size_t kPathUnits = 260;  // ExePath, ExeDir, logPath, source path
constexpr std::size_t kLineUnits = 260;  // one formatted Run log line
constexpr std::size_t kValueUnits = 80;  // one firmware value: 79 characters and NUL

struct ValueBuffer {
    wchar_t text[kValueUnits] = {};
};

// Length of text, looking at no more than capacity units.
inline std::size_t BoundedLength(const wchar_t* text, std::size_t capacity)
{
    std::size_t n = 0;
    while (n < capacity && text[n] != L'\0')
        ++n;
    return n;
}

// Copies as much of src as fits, always terminating dst (capacity > 0).
// Returns false when src was cut.
inline bool CopyBounded(wchar_t* dst, std::size_t capacity, const wchar_t* src)
{
    std::size_t n = 0;
    for (; n + 1 < capacity && src[n] != L'\0'; ++n)
        dst[n] = src[n];
    dst[n] = L'\0';
    return src[n] == L'\0';
}

}  // namespace kelvane
