// The process on POSIX, for the host build: its start, the fax library, the
// folder's turn and the message (on standard error).
#pragma once

#include <memory>
#include <string>

#include "platform/files.h"

namespace faxjob::posix {

/// Prepares the process: an exception that escapes every handler ends it at once.
void PrepareProcess();
/// See Process::ShowStopMessage; the text already narrow.
void ShowStopMessage(const std::string& text);
/// See Process::LoadEntryPoint; the library's name already narrow.
void* LoadEntryPoint(std::string name, const char* entryName);
/// See Files::TakeFolderTurn; the path of the folder's lock file as the system takes it.
std::unique_ptr<FolderTurn> TakeFolderTurn(const std::string& lockFilePath);

}  // namespace faxjob::posix
