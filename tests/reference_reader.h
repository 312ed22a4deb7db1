// The result file read the plain way, straight from its rules, for checking
// the reader against: one item after another, each cut out whole.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace faxjob::testing {

// The report lines for the record entries of `content`, each with `text`,
// followed by "failure N" when reading fails with code N.
std::string ReferenceReport(std::string_view content,
                            const std::function<std::size_t(unsigned char)>& charLength,
                            std::string_view text);

}  // namespace faxjob::testing
