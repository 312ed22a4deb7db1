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

// The library writes its result file into the report file's folder: the
// report path up to its last backslash. A forward slash is no separator.
std::u16string ResultFilePathFor(std::u16string_view reportFilePath);

// A name ending in a backslash searches the contents of that folder.
std::u16string FileSearchNameFor(std::u16string_view jobFilePath);

}  // namespace faxjob
