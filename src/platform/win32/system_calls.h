// Every Windows and NT call that the file, name, process and fault code makes goes
// through this one table, filled with the system's own entry points before
// main runs. A test puts its own function in place of one entry, to give the
// real code the answers Windows gives where Wine or a test folder never would
// (a file held open, a full disk, a refused information class), and puts the
// system's back after. A call through the table costs one indirect call.
#pragma once

#include <windows.h>
#include <winternl.h>

namespace faxjob::win32 {

struct SystemCalls {
  // Files.
  decltype(&::CreateFileW) CreateFileW;
  decltype(&::ReOpenFile) ReOpenFile;
  decltype(&::CloseHandle) CloseHandle;
  decltype(&::ReadFile) ReadFile;
  decltype(&::WriteFile) WriteFile;
  decltype(&::FlushFileBuffers) FlushFileBuffers;
  decltype(&::SetFilePointerEx) SetFilePointerEx;
  decltype(&::GetFileSizeEx) GetFileSizeEx;
  decltype(&::DeleteFileW) DeleteFileW;
  decltype(&::GetFileAttributesW) GetFileAttributesW;
  decltype(&::SetFileInformationByHandle) SetFileInformationByHandle;
  decltype(&::GetFileInformationByHandleEx) GetFileInformationByHandleEx;
  decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;
  decltype(&::SetHandleInformation) SetHandleInformation;
  decltype(&::FindFirstFileW) FindFirstFileW;
  decltype(&::FindNextFileW) FindNextFileW;
  decltype(&::FindClose) FindClose;
  decltype(&::LockFileEx) LockFileEx;
  decltype(&::UnlockFileEx) UnlockFileEx;
  // Names and text.
  decltype(&::GetFullPathNameW) GetFullPathNameW;
  decltype(&::WideCharToMultiByte) WideCharToMultiByte;
  decltype(&::MultiByteToWideChar) MultiByteToWideChar;
  decltype(&::GetACP) GetACP;
  decltype(&::IsDBCSLeadByte) IsDBCSLeadByte;
  decltype(&::CompareStringOrdinal) CompareStringOrdinal;
  // The process and its libraries.
  decltype(&::GetCommandLineW) GetCommandLineW;
  decltype(&::GetCurrentProcess) GetCurrentProcess;
  decltype(&::GetCurrentProcessId) GetCurrentProcessId;
  decltype(&::TerminateProcess) TerminateProcess;
  decltype(&::ProcessIdToSessionId) ProcessIdToSessionId;
  decltype(&::GetModuleFileNameW) GetModuleFileNameW;
  decltype(&::SetDllDirectoryW) SetDllDirectoryW;
  decltype(&::SetErrorMode) SetErrorMode;
  decltype(&::LoadLibraryW) LoadLibraryW;
  decltype(&::FreeLibrary) FreeLibrary;
  decltype(&::GetProcAddress) GetProcAddress;
  decltype(&::Sleep) Sleep;
  // Threads, events and memory: the fault path's and the library guards'.
  decltype(&::CreateEventW) CreateEventW;
  decltype(&::SetEvent) SetEvent;
  decltype(&::WaitForSingleObject) WaitForSingleObject;
  decltype(&::WaitForMultipleObjects) WaitForMultipleObjects;
  decltype(&::CreateThread) CreateThread;
  decltype(&::OpenThread) OpenThread;
  decltype(&::DuplicateHandle) DuplicateHandle;
  decltype(&::GetCurrentThread) GetCurrentThread;
  decltype(&::GetCurrentThreadId) GetCurrentThreadId;
  decltype(&::SetThreadStackGuarantee) SetThreadStackGuarantee;
  decltype(&::SetUnhandledExceptionFilter) SetUnhandledExceptionFilter;
  decltype(&::VirtualAlloc) VirtualAlloc;
  decltype(&::VirtualProtect) VirtualProtect;
  decltype(&::VirtualQuery) VirtualQuery;
  decltype(&::FlushInstructionCache) FlushInstructionCache;
  decltype(&::GetSystemInfo) GetSystemInfo;
  decltype(&::GetModuleHandleW) GetModuleHandleW;
  decltype(&::GetProcessId) GetProcessId;
  decltype(&::GetThreadId) GetThreadId;
  decltype(&::SetLastError) SetLastError;
  // ntdll's, looked up: null where the system has none.
  LONG(NTAPI* RtlGetLastNtStatus)();
  ULONG(NTAPI* RtlIsDosDeviceName_U)(PCWSTR);
  LONG(NTAPI* NtQueryInformationFile)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
  // The fault path's record: the NT calls that work without the Win32 layer's state.
  decltype(&::NtCreateFile) NtCreateFile;
  LONG(NTAPI* NtSetInformationFile)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
  BOOLEAN(NTAPI* RtlDosPathNameToNtPathName_U)(PCWSTR, UNICODE_STRING*, PCWSTR*, void*);
  decltype(&::RtlFreeUnicodeString) RtlFreeUnicodeString;
};

/// The table the platform layer calls through.
extern SystemCalls gSystem;

}  // namespace faxjob::win32
