// The in-memory platform's open files, made by its files part.
#pragma once

#include <memory>
#include <string>

#include "platform/files.h"

namespace faxjob::testing {

class FakePlatform;

// `path` open for reading; it must exist in the world.
std::unique_ptr<InputFile> MakeFakeInputFile(FakePlatform& platform, std::u16string path);
// `path` open for writing, to be renamed onto `target` when kept (empty: none); `isFaultReport`
// when it is the report the fault path is armed with, which it then tells where it stands.
std::unique_ptr<OutputFile> MakeFakeOutputFile(FakePlatform& platform, std::u16string path,
                                               std::u16string target, bool deleteDisposition,
                                               bool isFaultReport);

}  // namespace faxjob::testing
