// The mark that makes Windows remove a file when its last handle is closed,
// at the latest when the process ends, however it ends. Unlike a file opened
// with FILE_FLAG_DELETE_ON_CLOSE, the mark can be taken back.
#pragma once

#include <windows.h>

namespace faxjob {

/// Sets or clears the mark on a file opened with DELETE access; false when the system refuses.
inline bool SetRemovalMark(HANDLE file, bool removed) {
  FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(removed)};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) !=
         0;
}

}  // namespace faxjob
