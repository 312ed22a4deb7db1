// Files on POSIX, for the host build: opening, writing, removing, searching.
#pragma once

#include <memory>
#include <string>

#include "platform/fault_path.h"
#include "platform/platform.h"
#include "platform/posix/names.h"

namespace faxjob::posix {

/// See Platform::OrdinaryFileMatches; the search name as the system takes it.
bool OrdinaryFileMatches(const std::string& searchName);
/// See Platform::IsSameFile; the paths as the system takes them.
bool IsSameFile(const std::string& first, const std::string& second);
/// See Platform::OpenForReading.
std::unique_ptr<InputFile> OpenInput(const std::string& path, Names& names);
/// Opens a file for writing with `flags` (O_CREAT | O_TRUNC, or O_APPEND); `watch` tells the fault
/// path, when it is the armed report.
std::unique_ptr<OutputFile> OpenOutput(const std::string& path, int flags,
                                       fault_path::ReportWatch watch);
/// See Platform::RemoveFile.
bool RemoveFile(const std::string& path);

}  // namespace faxjob::posix
