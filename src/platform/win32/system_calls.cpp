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
    .RtlGetLastNtStatus = NtdllEntry<LONG(NTAPI*)()>("RtlGetLastNtStatus"),
    .RtlIsDosDeviceName_U = NtdllEntry<ULONG(NTAPI*)(PCWSTR)>("RtlIsDosDeviceName_U"),
};

}  // namespace faxjob::win32
