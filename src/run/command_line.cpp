#include "run/command_line.h"

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

std::u16string ResultFilePathFor(std::u16string_view reportFilePath) {
  const std::size_t lastBackslash = reportFilePath.rfind(u'\\');
  std::u16string folder;
  if (lastBackslash != std::u16string_view::npos) {
    folder = reportFilePath.substr(0, lastBackslash + 1);
  }
  return folder + u"RESULT.TXT";
}

std::u16string FileSearchNameFor(std::u16string_view jobFilePath) {
  std::u16string searchName(jobFilePath);
  if (!searchName.empty() && searchName.back() == u'\\') searchName += u'*';
  return searchName;
}

}  // namespace faxjob
