#include "run/command_line.h"

#include "faxbridge/fax_library.h"
#include "platform/files.h"

namespace faxjob {

std::u16string_view ArgumentTextOf(std::u16string_view rawCommandLine) {
  std::size_t end;
  if (!rawCommandLine.empty() && rawCommandLine.front() == u'"') {
    // An opening quote that is never closed makes the whole line the program path.
    const std::size_t closingQuote = rawCommandLine.find(u'"', 1);
    end = closingQuote == std::u16string_view::npos ? rawCommandLine.size() : closingQuote + 1;
  } else {
    end = rawCommandLine.find(u' ');
    if (end == std::u16string_view::npos) end = rawCommandLine.size();
  }
  return rawCommandLine.substr(end);
}

std::u16string_view TrimSpaces(std::u16string_view text) {
  const std::size_t first = text.find_first_not_of(u' ');
  if (first == std::u16string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(u' ');
  return text.substr(first, last - first + 1);
}

std::optional<CommandLinePaths> SplitArguments(std::u16string_view argumentText) {
  const std::u16string_view commandText = TrimSpaces(argumentText);
  const std::size_t separator = commandText.find(u' ');
  if (separator == std::u16string_view::npos) return std::nullopt;
  return CommandLinePaths{std::u16string(TrimSpaces(commandText.substr(0, separator))),
                          std::u16string(TrimSpaces(commandText.substr(separator)))};
}

namespace {

constexpr std::u16string_view kResultFileName = u"RESULT.TXT";

char16_t UpperAscii(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; }

}  // namespace

std::u16string_view FolderPartOf(std::u16string_view path, char16_t separator) {
  const std::size_t lastSeparator = path.rfind(separator);
  return lastSeparator == std::u16string_view::npos ? std::u16string_view()
                                                    : path.substr(0, lastSeparator + 1);
}

std::u16string ResultFilePathFor(std::u16string_view reportFilePath, char16_t separator) {
  return std::u16string(FolderPartOf(reportFilePath, separator)) + std::u16string(kResultFileName);
}

bool NamesReservedFile(std::u16string_view reportFilePath, char16_t separator) {
  std::u16string_view name = reportFilePath.substr(FolderPartOf(reportFilePath, separator).size());
  while (!name.empty() && (name.back() == u'.' || name.back() == u' ')) name.remove_suffix(1);
  auto is = [name](std::u16string_view reserved) {
    if (name.size() != reserved.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
      if (UpperAscii(name[i]) != reserved[i]) return false;
    }
    return true;
  };
  return is(kResultFileName) || is(kFolderTurnFileName) || is(kFaxLibraryFileName);
}

std::u16string FileSearchNameFor(std::u16string_view jobFilePath, char16_t separator) {
  std::u16string searchName(jobFilePath);
  if (!searchName.empty() && searchName.back() == separator) searchName += u'*';
  return searchName;
}

}  // namespace faxjob
