// The one failure type of the program: a code and a Japanese description.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace faxjob {

// Codes follow the classic run-time error numbers, so that callers that
// already know them can read the report's error line without a new table.
enum FailureCode : std::int32_t {
  kOverflow = 6,
  kOutOfMemory = 7,
  kSubscriptOutOfRange = 9,
  kTypeMismatch = 13,
  kLibraryLoadError = 48,
  kInternalError = 51,
  kBadFileName = 52,
  kFileNotFound = 53,
  kFileAlreadyOpen = 55,
  kDeviceIoError = 57,
  kDiskFull = 61,
  kInputPastEndOfFile = 62,
  kHeldByAnotherProcess = 70,  // a sharing violation or a lock ("permission denied")
  kAccessRefused = 75,         // a read-only file, a folder in place of a file
  kPathNotFound = 76,
  kEntryPointNotFound = 453,
};

// The fixed one-line description for a code; an unknown code gets a generic text. Constants in the
// program's image: nothing is made for them before main, where a lack of memory would end the
// process with no report.
std::u16string_view DescriptionOf(std::int32_t code);

class Failure : public std::exception {
 public:
  explicit Failure(std::int32_t code) : code_(code), description_(DescriptionOf(code)) {}
  Failure(std::int32_t code, std::u16string description)
      : code_(code), description_(std::move(description)) {}

  std::int32_t code() const { return code_; }
  const std::u16string& description() const { return description_; }
  const char* what() const noexcept override { return "faxjob failure"; }

 private:
  std::int32_t code_;
  std::u16string description_;
};

}  // namespace faxjob
