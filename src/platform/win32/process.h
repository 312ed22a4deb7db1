// The process on Windows: its start, the fax library, the folder's turn and
// the message box.
#pragma once

#include <memory>
#include <string>

#include "platform/files.h"

namespace faxjob::win32 {

/// Prepares the process for unattended runs: no system error dialogs, no abort box, and a
/// library search without the current folder.
void PrepareProcess();
/// See Process::ShowStopMessage.
void ShowStopMessage(const std::u16string& text);
/// See Process::LoadEntryPoint.
void* LoadEntryPoint(const std::u16string& fileName, const char* entryName);
/// See Files::TakeFolderTurn.
std::unique_ptr<FolderTurn> TakeFolderTurn(const std::u16string& folder);

}  // namespace faxjob::win32
