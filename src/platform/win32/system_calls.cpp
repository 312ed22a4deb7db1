#include "platform/win32/system_calls.h"

#include "platform/win32/support.h"

namespace faxjob::win32 {

// Filled once, while the program starts, before anything calls through it.
SystemCalls gSystem = {
    .CreateFileW = &::CreateFileW,
    .ReOpenFile = &::ReOpenFile,
    .CloseHandle = &::CloseHandle,
    .ReadFile = &::ReadFile,
    .WriteFile = &::WriteFile,
    .FlushFileBuffers = &::FlushFileBuffers,
    .SetFilePointerEx = &::SetFilePointerEx,
    .GetFileSizeEx = &::GetFileSizeEx,
    .DeleteFileW = &::DeleteFileW,
    .GetFileAttributesW = &::GetFileAttributesW,
    .SetFileInformationByHandle = &::SetFileInformationByHandle,
    .GetFileInformationByHandleEx = &::GetFileInformationByHandleEx,
    .GetFileInformationByHandle = &::GetFileInformationByHandle,
    .SetHandleInformation = &::SetHandleInformation,
    .FindFirstFileW = &::FindFirstFileW,
    .FindNextFileW = &::FindNextFileW,
    .FindClose = &::FindClose,
    .LockFileEx = &::LockFileEx,
    .UnlockFileEx = &::UnlockFileEx,
    .GetFullPathNameW = &::GetFullPathNameW,
    .WideCharToMultiByte = &::WideCharToMultiByte,
    .MultiByteToWideChar = &::MultiByteToWideChar,
    .GetACP = &::GetACP,
    .IsDBCSLeadByte = &::IsDBCSLeadByte,
    .CompareStringOrdinal = &::CompareStringOrdinal,
    .GetCommandLineW = &::GetCommandLineW,
    .GetCurrentProcess = &::GetCurrentProcess,
    .GetCurrentProcessId = &::GetCurrentProcessId,
    .TerminateProcess = &::TerminateProcess,
    .ProcessIdToSessionId = &::ProcessIdToSessionId,
    .GetModuleFileNameW = &::GetModuleFileNameW,
    .SetDllDirectoryW = &::SetDllDirectoryW,
    .SetErrorMode = &::SetErrorMode,
    .LoadLibraryW = &::LoadLibraryW,
    .FreeLibrary = &::FreeLibrary,
    .GetProcAddress = &::GetProcAddress,
    .Sleep = &::Sleep,
    .CreateEventW = &::CreateEventW,
    .SetEvent = &::SetEvent,
    .WaitForSingleObject = &::WaitForSingleObject,
    .WaitForMultipleObjects = &::WaitForMultipleObjects,
    .CreateThread = &::CreateThread,
    .OpenThread = &::OpenThread,
    .DuplicateHandle = &::DuplicateHandle,
    .GetCurrentThread = &::GetCurrentThread,
    .GetCurrentThreadId = &::GetCurrentThreadId,
    .SetThreadStackGuarantee = &::SetThreadStackGuarantee,
    .SetUnhandledExceptionFilter = &::SetUnhandledExceptionFilter,
    .VirtualAlloc = &::VirtualAlloc,
    .VirtualProtect = &::VirtualProtect,
    .VirtualQuery = &::VirtualQuery,
    .FlushInstructionCache = &::FlushInstructionCache,
    .GetSystemInfo = &::GetSystemInfo,
    .GetModuleHandleW = &::GetModuleHandleW,
    .GetProcessId = &::GetProcessId,
    .GetThreadId = &::GetThreadId,
    .SetLastError = &::SetLastError,
    .RtlGetLastNtStatus = NtdllEntry<LONG(NTAPI*)()>("RtlGetLastNtStatus"),
    .RtlIsDosDeviceName_U = NtdllEntry<ULONG(NTAPI*)(PCWSTR)>("RtlIsDosDeviceName_U"),
    .NtQueryInformationFile = NtdllEntry<LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int)>(
        "NtQueryInformationFile"),
    .NtCreateFile = NtdllEntry<decltype(&::NtCreateFile)>("NtCreateFile"),
    .NtSetInformationFile = NtdllEntry<LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int)>(
        "NtSetInformationFile"),
    .RtlDosPathNameToNtPathName_U =
        NtdllEntry<BOOLEAN(NTAPI*)(PCWSTR, UNICODE_STRING*, PCWSTR*, void*)>(
            "RtlDosPathNameToNtPathName_U"),
    .RtlFreeUnicodeString = NtdllEntry<decltype(&::RtlFreeUnicodeString)>("RtlFreeUnicodeString"),
};

}  // namespace faxjob::win32
