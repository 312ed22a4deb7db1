// Files on Windows: opening, writing, removing, searching. Every open and
// removal waits out another program's hold (support.h).
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "platform/fault_path.h"
#include "platform/platform.h"

namespace faxjob::win32 {

/// See Platform::OrdinaryFileMatches.
bool OrdinaryFileMatches(const std::u16string& searchName);
/// See Platform::OpenForReading.
std::unique_ptr<InputFile> OpenInput(const std::u16string& path);
/// Opens a file for writing with `access` and `disposition`, marked for removal where the system
/// allows it; `watch` tells the fault path, when it is the armed report. See
/// Platform::OpenForWriting.
std::unique_ptr<OutputFile> OpenOutput(const std::u16string& path, DWORD access, DWORD disposition,
                                       fault_path::ReportWatch watch);
/// See Platform::RemoveFile.
bool RemoveFile(const std::u16string& path);

}  // namespace faxjob::win32
