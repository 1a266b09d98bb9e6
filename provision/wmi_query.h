#pragma once
// One WQL query against a local WMI namespace, collecting one property of
// every result object into a ValueBuffer.
#include "text.h"

namespace kelvane {

constexpr int kQueryOk = 0;
constexpr int kQueryFailed = 1;

// The caller has initialised COM (multithreaded) on this thread; the query
// uninitialises it before it returns, on every path. Values are appended to
// the buffer's text, comma-separated; the text is cut at 79 characters.
int WmiPropertyQuery(const wchar_t* wmiNamespace, const wchar_t* query, const wchar_t* property, ValueBuffer& buffer);

// The join rule: a non-empty buffer becomes "<buffer>,<value>", an empty one
// takes the value. Cut at the buffer's capacity.
void JoinValue(ValueBuffer& buffer, const wchar_t* value);

}  // namespace kelvane
