// The status text for each result code of the fax library.
#pragma once

#include <cstdint>
#include <string>

namespace faxjob {

const std::u16string& ResultMessages(std::int32_t resultCode);

}  // namespace faxjob
