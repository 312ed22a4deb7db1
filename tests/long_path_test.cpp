#include "platform/win32/long_path.h"

#include <gtest/gtest.h>

#include "fake_platform.h"

namespace faxjob {
namespace {

using testing::Utf8;

// Full paths as GetFullPathNameW gives them: `..` and `.` resolved, the last
// name's trailing dots and spaces dropped, those of the folders kept.
TEST(ExtendedLengthPath, PrefixesFullPathsOnADriveOrAShareAndNothingElse) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"C:\\out\\r.txt", u"\\\\?\\C:\\out\\r.txt"},
      {u"z:\\", u"\\\\?\\z:\\"},
      {u"C:\\out. \\r..txt", u"\\\\?\\C:\\out. \\r..txt"},
      {u"C:\\in\\" + std::u16string(300, u'r'), u"\\\\?\\C:\\in\\" + std::u16string(300, u'r')},
      {u"\\\\server\\share\\out\\r.txt", u"\\\\?\\UNC\\server\\share\\out\\r.txt"},
      {u"\\\\server\\share", u"\\\\?\\UNC\\server\\share"},
      // Already in the device namespace.
      {u"\\\\?\\C:\\out\\r.txt", u"\\\\?\\C:\\out\\r.txt"},
      {u"\\\\?\\UNC\\server\\share\\r.txt", u"\\\\?\\UNC\\server\\share\\r.txt"},
      {u"\\\\.\\NUL", u"\\\\.\\NUL"},
      {u"\\\\.\\C:\\out\\r.txt", u"\\\\.\\C:\\out\\r.txt"},
      {u"\\\\?", u"\\\\?"},
      {u"\\\\.", u"\\\\."},
      // No full paths: the prefix would take them as names.
      {u"r.txt", u"r.txt"},
      {u"C:r.txt", u"C:r.txt"},
      {u"\\out\\r.txt", u"\\out\\r.txt"},
      {u"", u""},
  };
  for (const auto& [full, extended] : cases) {
    EXPECT_EQ(ExtendedLengthPathOf(full), extended) << Utf8(full);
    // The caller's spelling of the same file.
    EXPECT_EQ(Win32PathOf(extended), Win32PathOf(full)) << Utf8(extended);
  }
  // Only a drive or a share loses the prefix: without it the rest would be another path.
  for (const std::u16string path : {u"\\\\?\\NUL", u"\\\\?\\Volume{0}\\r.txt", u"\\\\?\\C:"}) {
    EXPECT_EQ(Win32PathOf(path), path) << Utf8(path);
  }
}

TEST(ExtendedLengthPath, TellsANameStraightInTheDeviceNamespace) {
  for (const std::u16string device : {u"\\\\.\\NUL", u"\\\\.\\con", u"\\\\.\\COM1", u"\\\\?\\NUL",
                                      u"\\\\?\\C:", u"\\\\.\\PhysicalDrive0"}) {
    EXPECT_TRUE(IsDeviceNamespaceName(device)) << Utf8(device);
  }
  for (const std::u16string file :
       {u"\\\\.\\C:\\out\\r.txt", u"\\\\?\\C:\\out\\CON", u"C:\\out\\NUL", u"\\\\server\\NUL",
        u"\\\\?\\UNC\\server\\share", u"\\\\.\\", u"\\\\?\\", u"\\\\.", u"NUL", u""}) {
    EXPECT_FALSE(IsDeviceNamespaceName(file)) << Utf8(file);
  }
}

// A colon after the drive, the share or the prefix names a stream of the
// file before it, which NTFS writes into that file.
TEST(ExtendedLengthPath, TellsAStreamOfAFileFromTheFile) {
  for (const std::u16string stream :
       {u"\\\\?\\C:\\out\\RESULT.TXT:x", u"\\\\?\\C:\\out\\RESULT.TXT::$DATA", u"C:\\out\\r.txt:x",
        u"\\\\?\\UNC\\server\\share\\r.txt:x", u"\\\\server\\share\\FAXJOB.LCK:x",
        u"\\\\?\\C:\\out:x\\r.txt", u"\\\\.\\C:\\r.txt:x", u"\\\\?\\Volume{0}\\r.txt:x"}) {
    EXPECT_TRUE(NamesStream(stream)) << Utf8(stream);
  }
  for (const std::u16string file :
       {u"\\\\?\\C:\\out\\r.txt", u"C:\\out\\r.txt", u"\\\\?\\UNC\\server\\share\\r.txt",
        u"\\\\server\\share\\r.txt", u"\\\\.\\C:\\r.txt", u"\\\\.\\NUL", u"C:", u""}) {
    EXPECT_FALSE(NamesStream(file)) << Utf8(file);
  }
}

}  // namespace
}  // namespace faxjob
