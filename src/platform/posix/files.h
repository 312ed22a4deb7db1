// Files on POSIX, for the host build: opening, writing, removing, searching.
#pragma once

#include <memory>
#include <string>

#include "platform/fault_path.h"
#include "platform/files.h"
#include "platform/posix/names.h"

namespace faxjob::posix {

/// See Files::OrdinaryFileMatches; the search name as the system takes it.
bool OrdinaryFileMatches(const std::string& searchName);
/// See Files::IsSameFile; the paths as the system takes them.
bool IsSameFile(const std::string& first, const std::string& second);
/// See Files::OpenForReading.
std::unique_ptr<InputFile> OpenInput(const std::string& path, Names& names);
/// See Files::OpenForWriting; `watch` tells the fault path, when it is the armed report.
std::unique_ptr<OutputFile> CreateOutput(const std::string& path, fault_path::ReportWatch watch);
/// See Files::OpenForAppending.
std::unique_ptr<OutputFile> AppendOutput(const std::string& path, fault_path::ReportWatch watch);
/// See Files::RemoveFile.
bool RemoveFile(const std::string& path);
/// See Files::RemoveStaleTemporaryFiles; `folder` empty or ending in a slash.
void RemoveStaleTemporaryFiles(const std::string& folder) noexcept;

}  // namespace faxjob::posix
