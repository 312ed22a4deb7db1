// The stand-in's files, by narrow (ANSI code page) names, and its waits.
#include "files.h"

#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#endif

namespace zrq {

namespace {

// Names a file that receives every record, first of all, when set.
constexpr char kRecordEnvironmentVariable[] = "ZRQ_STANDIN_RECORD";

}  // namespace

#ifdef _WIN32

bool ReadWholeFile(const std::string& path, std::string& contents) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  contents.clear();
  char buffer[4096];
  bool ok = true;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    contents.append(buffer, got);
  }
  CloseHandle(file);
  return ok;
}

bool WriteWholeFile(const std::string& path, const void* data, std::size_t size) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const char* p = static_cast<const char*>(data);
  bool ok = true;
  while (size > 0) {
    DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file, p, chunk, &written, nullptr) || written == 0) {
      ok = false;
      break;
    }
    p += written;
    size -= written;
  }
  if (!CloseHandle(file)) ok = false;
  return ok;
}

// `path` becomes a second name of `existing`: no bytes are copied.
bool LinkFile(const std::string& existing, const std::string& path) {
  DeleteFileA(path.c_str());
  return CreateHardLinkA(path.c_str(), existing.c_str(), nullptr) != 0;
}

// Read from the process environment itself, not from a C runtime's copy of
// it, so that a caller's SetEnvironmentVariable counts.
std::string RecordPathFromEnvironment() {
  char buffer[1024];
  DWORD length = GetEnvironmentVariableA(kRecordEnvironmentVariable, buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return std::string();
  return std::string(buffer, length);
}

void SleepMilliseconds(std::uint32_t ms) {
  // Sleep(INFINITE) would never return; split the one value that means it.
  if (ms == INFINITE) {
    Sleep(INFINITE - 1);
    Sleep(1);
  } else {
    Sleep(ms);
  }
}

#else

bool ReadWholeFile(const std::string& path, std::string& contents) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  contents.clear();
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) contents.append(buffer, got);
  // A folder opens on POSIX but fails to read: treat it as unopenable.
  bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

bool WriteWholeFile(const std::string& path, const void* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0) ok = false;
  return ok;
}

bool LinkFile(const std::string& existing, const std::string& path) {
  unlink(path.c_str());
  return link(existing.c_str(), path.c_str()) == 0;
}

std::string RecordPathFromEnvironment() {
  const char* path = std::getenv(kRecordEnvironmentVariable);
  return path ? std::string(path) : std::string();
}

void SleepMilliseconds(std::uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

#endif

}  // namespace zrq
