// The status text for each result code of the fax library.
#pragma once

#include <cstdint>
#include <string_view>

namespace faxjob {

std::u16string_view ResultMessages(std::int32_t resultCode);

}  // namespace faxjob
