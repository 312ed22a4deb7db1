// Splitting the command line into the two paths, and the paths derived from them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace faxjob {

// The raw command line without the program's own path. The path is the first
// token: from an opening double quote up to and including the closing one,
// otherwise up to the first space. Quotes elsewhere are ordinary characters.
std::u16string_view ArgumentTextOf(std::u16string_view rawCommandLine);

// Removes leading and trailing U+0020 only: tabs and other blanks are kept.
std::u16string_view TrimSpaces(std::u16string_view text);

struct CommandLinePaths {
  std::u16string jobFilePath;
  std::u16string reportFilePath;
};

// Splits at the first space of the trimmed argument text; no space, no paths.
std::optional<CommandLinePaths> SplitArguments(std::u16string_view argumentText);

// Paths are split into folders at `separator` alone: the backslash on
// Windows, where a forward slash in a path is then an ordinary character.

// The path up to and including its last separator; empty when it has none.
std::u16string_view FolderPartOf(std::u16string_view path, char16_t separator);

// The library writes its result file into the report file's folder.
std::u16string ResultFilePathFor(std::u16string_view reportFilePath, char16_t separator);

// True when the report path names the result file itself, the lock file of
// the folder's turn or the fax library (letter case, and the dots and spaces
// that the file system drops from the end of a name, do not count): the report
// could then never be written without destroying what it reports, breaking
// the turn, or removing the library before it is loaded.
bool NamesReservedFile(std::u16string_view reportFilePath, char16_t separator);

// A name ending in a separator searches the contents of that folder.
std::u16string FileSearchNameFor(std::u16string_view jobFilePath, char16_t separator);

}  // namespace faxjob
