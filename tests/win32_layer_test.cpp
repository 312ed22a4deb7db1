// The real Windows layer in a temporary folder, with Windows' own answers put
// in place of single system calls through the layer's table of entry points:
// the table of platform_contract.h, run as the in-memory platform runs it.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/win32/platform.h"
#include "platform/win32/system_calls.h"
#include "platform_contract.h"

namespace faxjob::testing {
namespace {

using win32::gSystem;

// The system's own entries, and the answers now due, with how many calls of their kind each
// has seen.
win32::SystemCalls gReal;
struct Armed {
  WindowsAnswer answer;
  std::u16string path;
  int seen = 0;
};
std::vector<Armed> gArmed;
std::uint32_t gInjectedStatus = 0;
bool gLastInjected = false;
std::vector<DWORD> gWaits;

// The armed answer due now for a call of this kind, counting the call; null when none.
const WindowsAnswer* Due(SystemCall call, const wchar_t* path = nullptr) {
  gLastInjected = false;
  for (Armed& armed : gArmed) {
    if (armed.answer.call != call) continue;
    if (path != nullptr && armed.path != reinterpret_cast<const char16_t*>(path)) continue;
    const int number = ++armed.seen;
    const WindowsAnswer& answer = armed.answer;
    if (number >= answer.atCall && (answer.times == 0 || number < answer.atCall + answer.times)) {
      return &answer;
    }
  }
  return nullptr;
}

// Fails as Windows fails: its error, and the NT status behind it.
BOOL Failed(const WindowsAnswer& answer) {
  gLastInjected = true;
  gInjectedStatus = answer.ntStatus;
  SetLastError(answer.error);
  return FALSE;
}

HANDLE WINAPI CreateFileAnswered(LPCWSTR path, DWORD access, DWORD share,
                                 LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                 HANDLE model) {
  if (const WindowsAnswer* answer = Due(SystemCall::kCreateFile, path)) {
    Failed(*answer);
    return INVALID_HANDLE_VALUE;
  }
  return gReal.CreateFileW(path, access, share, security, disposition, flags, model);
}

BOOL WINAPI SetInformationAnswered(HANDLE file, FILE_INFO_BY_HANDLE_CLASS form, LPVOID data,
                                   DWORD size) {
  const SystemCall call = form == FileRenameInfo ? SystemCall::kRename
                          : form == static_cast<FILE_INFO_BY_HANDLE_CLASS>(22)
                              ? SystemCall::kRenameEx
                          : form == FileDispositionInfo ? SystemCall::kDisposition
                                                        : SystemCall::kNone;
  if (const WindowsAnswer* answer = Due(call)) return Failed(*answer);
  return gReal.SetFileInformationByHandle(file, form, data, size);
}

BOOL WINAPI WriteAnswered(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                          LPOVERLAPPED overlapped) {
  if (const WindowsAnswer* answer = Due(SystemCall::kWriteFile)) return Failed(*answer);
  return gReal.WriteFile(file, data, size, written, overlapped);
}

BOOL WINAPI GetInformationAnswered(HANDLE file, FILE_INFO_BY_HANDLE_CLASS form, LPVOID data,
                                   DWORD size) {
  if (form == FileRemoteProtocolInfo && Due(SystemCall::kRemoteProtocol) != nullptr) return TRUE;
  if (form == FileIdInfo) {
    if (const WindowsAnswer* answer = Due(SystemCall::kFileIdInfo)) return Failed(*answer);
    const WindowsAnswer* id = Due(SystemCall::kFileId);
    if (!gReal.GetFileInformationByHandleEx(file, form, data, size)) return FALSE;
    if (id != nullptr) {
      auto& info = *static_cast<FILE_ID_INFO*>(data);
      std::fill(std::begin(info.FileId.Identifier), std::end(info.FileId.Identifier), id->idByte);
    }
    return TRUE;
  }
  return gReal.GetFileInformationByHandleEx(file, form, data, size);
}

BOOL WINAPI GetIdAnswered(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
  const WindowsAnswer* id = Due(SystemCall::kFileId);
  if (!gReal.GetFileInformationByHandle(file, information)) return FALSE;
  if (id != nullptr) {
    information->nFileIndexHigh = id->idByte * 0x01010101u;
    information->nFileIndexLow = id->idByte * 0x01010101u;
  }
  return TRUE;
}

// A file system that gives no identity gives the file's index alone none either.
LONG NTAPI QueryInformationAnswered(HANDLE file, IO_STATUS_BLOCK* status, void* data, ULONG size,
                                    int form) {
  constexpr int kFileInternalInformation = 6;
  const LONG result = gReal.NtQueryInformationFile(file, status, data, size, form);
  const WindowsAnswer* id = form == kFileInternalInformation ? Due(SystemCall::kFileId) : nullptr;
  if (result >= 0 && id != nullptr) std::fill_n(static_cast<BYTE*>(data), 8, id->idByte);
  return result;
}

LONG NTAPI LastStatusAnswered() {
  return gLastInjected ? static_cast<LONG>(gInjectedStatus) : gReal.RtlGetLastNtStatus();
}

// Waits are counted, not slept.
void WINAPI SleepCounted(DWORD milliseconds) { gWaits.push_back(milliseconds); }

class RealWorld : public ContractWorld {
 public:
  explicit RealWorld(Files& files) : files_(files) {
    wchar_t temporary[MAX_PATH];
    GetTempPathW(MAX_PATH, temporary);
    folder_ = reinterpret_cast<const char16_t*>(temporary);
    folder_ += u"faxjob-contract-" + Number(GetCurrentProcessId()) + u"-" + Number(++made_) + u"\\";
    CreateDirectoryW(Wide(folder_), nullptr);
  }
  ~RealWorld() override {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(Wide(folder_ + u"*"), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::u16string path = folder_ + reinterpret_cast<const char16_t*>(found.cFileName);
        SetFileAttributesW(Wide(path), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(Wide(path));
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(Wide(folder_));
  }

  Files& files() override { return files_; }
  std::u16string Folder() override { return folder_; }
  void Put(const std::u16string& path, const std::string& content, bool readOnly) override {
    const HANDLE file = CreateFileW(Wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    if (readOnly) SetFileAttributesW(Wide(path), FILE_ATTRIBUTE_READONLY);
  }
  std::optional<std::string> Content(const std::u16string& path) override {
    const HANDLE file = CreateFileW(Wide(path), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string content(4096, '\0');
    DWORD read = 0;
    ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &read, nullptr);
    CloseHandle(file);
    content.resize(read);
    return content;
  }
  void Answer(const WindowsAnswer& answer, const std::u16string& path) override {
    gArmed.push_back({answer, path});
  }

 private:
  static const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
  }
  static std::u16string Number(DWORD value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
  }

  Files& files_;
  std::u16string folder_;
  static inline int made_ = 0;
};

class Win32LayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gReal = gSystem;
    gSystem.CreateFileW = &CreateFileAnswered;
    gSystem.SetFileInformationByHandle = &SetInformationAnswered;
    gSystem.WriteFile = &WriteAnswered;
    gSystem.GetFileInformationByHandleEx = &GetInformationAnswered;
    gSystem.GetFileInformationByHandle = &GetIdAnswered;
    gSystem.Sleep = &SleepCounted;
    if (gReal.RtlGetLastNtStatus != nullptr) gSystem.RtlGetLastNtStatus = &LastStatusAnswered;
    if (gReal.NtQueryInformationFile != nullptr) {
      gSystem.NtQueryInformationFile = &QueryInformationAnswered;
    }
  }
  void TearDown() override {
    gSystem = gReal;
    gArmed.clear();
    gWaits.clear();
  }

  Win32Platform platform_;
};

TEST_F(Win32LayerTest, RealLayerAnswersAsWindows) {
  for (const ContractCase& contract : ContractCases()) {
    gArmed.clear();
    gWaits.clear();
    {
      RealWorld world(platform_.parts().files);
      for (const std::string& fault : RunContractCase(world, contract)) {
        ADD_FAILURE() << contract.name << ": " << fault;
      }
    }
    // However long another program holds a file, the waits stay within the one bound.
    DWORD waited = 0;
    for (const DWORD wait : gWaits) waited += wait;
    EXPECT_LE(waited, 1950u) << contract.name;
  }
}

}  // namespace
}  // namespace faxjob::testing
