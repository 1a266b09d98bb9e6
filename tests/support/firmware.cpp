#include "firmware.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace firmware {
namespace {

const wchar_t kTracePath[] = KELVANE_TEST_WORK L"\\firmware-trace.txt";

// Replaces the file's content with `bytes`; false (with the reason reported) on failure.
bool WriteWholeFile(const wchar_t* path, const std::string& bytes) {
  const HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot create a firmware file, error " << GetLastError();
    return false;
  }
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok || written != bytes.size()) {
    ADD_FAILURE() << "cannot write a firmware file";
    return false;
  }
  return true;
}

}  // namespace

void UseScenario(const std::string& utf8Text, const std::string& name) {
  const std::wstring path = std::wstring(KELVANE_TEST_WORK) + L"\\firmware-" + std::wstring(name.begin(), name.end()) + L".txt";
  if (WriteWholeFile(path.c_str(), utf8Text)) SetEnvironmentVariableW(L"FAKE_WMI_SCENARIO", path.c_str());
}

void StartTrace() {
  if (WriteWholeFile(kTracePath, std::string())) SetEnvironmentVariableW(L"FAKE_WMI_TRACE", kTracePath);
}

std::vector<std::string> TraceLines() {
  std::vector<std::string> lines;
  const HANDLE file = CreateFileW(kTracePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "no firmware trace file, error " << GetLastError();
    return lines;
  }
  std::string bytes;
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read != 0) bytes.append(chunk, read);
  CloseHandle(file);

  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

void StopTrace() {
  SetEnvironmentVariableW(L"FAKE_WMI_TRACE", nullptr);
}

}  // namespace firmware
