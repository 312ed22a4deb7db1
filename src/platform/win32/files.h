// Files on Windows: opening, writing, removing, searching. Every open and
// removal waits out another program's hold (support.h).
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "platform/fault_path.h"
#include "platform/platform.h"

namespace faxjob::win32 {

/// See Files::OrdinaryFileMatches.
bool OrdinaryFileMatches(const std::u16string& searchName);
/// See Files::OpenForReading.
std::unique_ptr<InputFile> OpenInput(const std::u16string& path);
/// See Files::OpenForWriting; `watch` tells the fault path, when it is the armed report.
std::unique_ptr<OutputFile> CreateOutput(const std::u16string& path, fault_path::ReportWatch watch);
/// See Files::OpenForAppending.
std::unique_ptr<OutputFile> AppendOutput(const std::u16string& path, fault_path::ReportWatch watch);

}  // namespace faxjob::win32
