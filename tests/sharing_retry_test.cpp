#include "platform/sharing_retry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

namespace faxjob::sharing_retry {
namespace {

TEST(HeldFileTest, CountsSharingLockAndPendingRemovalAsHoldsAndNothingElse) {
  constexpr std::uint32_t kAccessDeniedStatus = 0xC0000022;
  constexpr std::uint32_t kCannotDelete = 0xC0000121;  // read-only, or a mapped program file
  const struct {
    std::uint32_t error;
    std::uint32_t ntStatus;
    bool held;
  } cases[] = {{kSharingViolation, 0xC0000043, true},
               {kSharingViolation, 0, true},
               {kLockViolation, 0xC0000054, true},
               {kAccessDenied, kDeletePending, true},
               {kAccessDenied, kAccessDeniedStatus, false},
               {kAccessDenied, kCannotDelete, false},
               {kAccessDenied, 0, false},
               {2, 0xC0000034, false},  // no such file
               {183, kDeletePending, false},
               {0, 0, false}};
  for (const auto& [error, ntStatus, held] : cases) {
    EXPECT_EQ(IsHeld(error, ntStatus), held) << error << " " << std::hex << ntStatus;
  }
}

// A hold that ends within the tries costs one growing wait per held try; one
// that outlasts them ends with the hold, after about two seconds in all.
TEST(HeldFileTest, WaitsLongerAfterEachHeldTryForAboutTwoSecondsInAll) {
  for (const int heldTries : {0, 1, 5, kTries - 1, kTries, kTries + 5}) {
    int tried = 0;
    std::vector<unsigned> waits;
    const bool held = WaitOut([&] { return ++tried <= heldTries; }, [](bool held) { return held; },
                              [&](unsigned milliseconds) { waits.push_back(milliseconds); });
    SCOPED_TRACE(heldTries);
    EXPECT_EQ(held, heldTries >= kTries);
    EXPECT_EQ(tried, std::min(heldTries + 1, kTries));
    EXPECT_EQ(waits.size(), static_cast<std::size_t>(std::min(heldTries, kTries - 1)));
    for (std::size_t i = 1; i < waits.size(); ++i) EXPECT_GT(waits[i], waits[i - 1]);
    if (heldTries >= kTries) {
      ASSERT_FALSE(waits.empty());
      EXPECT_EQ(waits.front(), 25u);
      const unsigned total = std::accumulate(waits.begin(), waits.end(), 0u);
      EXPECT_TRUE(total >= 1500 && total <= 2000) << total;
    }
  }
}

}  // namespace
}  // namespace faxjob::sharing_retry
