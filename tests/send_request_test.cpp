#include "faxbridge/send_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "fake_platform.h"
#include "faxbridge/result_messages.h"

namespace faxjob {
namespace {

using testing::FakePlatform;

std::int32_t FailureCodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Failure& failure) {
    return failure.code();
  }
  return 0;
}

bool AllZero(const void* bytes, std::size_t size) {
  const auto* begin = static_cast<const unsigned char*>(bytes);
  return std::all_of(begin, begin + size, [](unsigned char b) { return b == 0; });
}

TEST(CopyToAnsiSlot, StoresTheTextAndANulWithinTheSlot) {
  FakePlatform platform;
  char slot[260] = {};
  std::fill(std::begin(slot), std::end(slot), 'x');
  CopyToAnsiSlot(platform.text, slot, std::u16string(259, u'a'));
  EXPECT_EQ(std::string(slot, 259), std::string(259, 'a'));
  EXPECT_EQ(slot[259], '\0');

  CopyToAnsiSlot(platform.text, slot, u"ab");
  EXPECT_EQ(std::string(slot, 4), std::string("ab\0a", 4))
      << "bytes after the NUL stay as they were";
}

TEST(CopyToAnsiSlot, RaisesNineAtTheFirstStoreOutsideTheSlot) {
  FakePlatform platform;
  char slot[260] = {};
  EXPECT_EQ(FailureCodeOf([&] { CopyToAnsiSlot(platform.text, slot, std::u16string(260, u'b')); }),
            9);
  EXPECT_EQ(std::string(slot, 260), std::string(260, 'b'))
      << "every text byte stored, the NUL failed";

  char shortSlot[21] = {};
  EXPECT_EQ(
      FailureCodeOf([&] { CopyToAnsiSlot(platform.text, shortSlot, std::u16string(300, u'c')); }),
      9);
  EXPECT_EQ(std::string(shortSlot, 21), std::string(21, 'c'));
  EXPECT_EQ(
      FailureCodeOf([&] { CopyToAnsiSlot(platform.text, shortSlot, std::u16string(20, u'd')); }),
      0);
}

TEST(CopyToAnsiSlot, CountsBytesAfterConversionNotCharacters) {
  FakePlatform platform;
  char slot[260] = {};
  // Kanji take two bytes: 129 of them and one ASCII byte fill 259 bytes.
  EXPECT_EQ(FailureCodeOf(
                [&] { CopyToAnsiSlot(platform.text, slot, std::u16string(129, u'漢') + u"a"); }),
            0);
  EXPECT_EQ(slot[259], '\0');
  EXPECT_EQ(FailureCodeOf([&] { CopyToAnsiSlot(platform.text, slot, std::u16string(130, u'漢')); }),
            9);
  // Half-width katakana take one byte, like ASCII.
  EXPECT_EQ(FailureCodeOf([&] { CopyToAnsiSlot(platform.text, slot, std::u16string(259, u'ｱ')); }),
            0);
  EXPECT_EQ(FailureCodeOf([&] { CopyToAnsiSlot(platform.text, slot, std::u16string(260, u'ｱ')); }),
            9);
}

TEST(FillSendRequest, FillsBothPathsAndLeavesEverythingElseZeroOrEmpty) {
  FakePlatform platform;
  SendRequest request{};
  std::memset(&request, 0, sizeof request);
  FillSendRequest(platform.text, request, u"C:\\jobs\\job001.txt", u"RESULT.TXT");
  EXPECT_STREQ(request.JobFilePath, "C:\\jobs\\job001.txt");
  EXPECT_TRUE(AllZero(request.JobFilePath + 19, 260 - 19));
  EXPECT_EQ(std::string(request.ResultFilePath, 11), std::string("RESULT.TXT\0", 11));
  EXPECT_TRUE(AllZero(&request, 28));
  for (const char* slot : {request.TextSlotB, request.TextSlotD, request.TextSlotE}) {
    EXPECT_TRUE(AllZero(slot, 260));
  }
  EXPECT_TRUE(AllZero(request.ShortTextSlot, 21));
  EXPECT_TRUE(AllZero(request.TailBytes, 11));
}

TEST(FillSendRequest, StopsAtAResultPathThatDoesNotFit) {
  FakePlatform platform;
  SendRequest request{};
  const std::u16string resultPath = std::u16string(250, u'f') + u"RESULT.TXT";  // 260 bytes
  EXPECT_EQ(FailureCodeOf([&] { FillSendRequest(platform.text, request, u"job.txt", resultPath); }),
            9);
  EXPECT_STREQ(request.JobFilePath, "job.txt");
  EXPECT_TRUE(AllZero(request.TextSlotD, 260)) << "slots after the failing one stay unfilled";
}

TEST(ResultMessages, GivesEachCodeItsTextAndAnyOtherTheDefault) {
  EXPECT_EQ(ResultMessages(0), u"FAX送信を終了しました｡");
  EXPECT_EQ(ResultMessages(-1), u"関数の引数及び､構造体の内部に異常があります｡");
  EXPECT_EQ(ResultMessages(-7), u"ﾕｰｻﾞ中断です｡");
  EXPECT_EQ(ResultMessages(-10), u"送信指示ﾌｧｲﾙのﾊﾟﾗﾒｰﾀに異常があります｡");
  EXPECT_EQ(ResultMessages(-11), u"送信待への登録ｴﾗｰ｡");
  EXPECT_EQ(ResultMessages(-13), u"必要なﾌｧｲﾙが見つかりません｡");
  EXPECT_EQ(ResultMessages(-15), u"ﾃﾞｰﾀﾌｧｲﾙの形式が未ｻﾎﾟｰﾄまたは、異常です｡");
  EXPECT_EQ(ResultMessages(-22), u"通信中または､送信待機中です｡");
  const std::u16string undefined = u"未定義のｴﾗｰです｡ ";
  for (std::int32_t code : {-8, -9, -12, 1, 100, -23, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(ResultMessages(code), undefined) << code;
  }
  for (std::int32_t code = -22; code <= 0; ++code) {
    const bool hasRow = code != -8 && code != -9 && code != -12;
    EXPECT_EQ(ResultMessages(code) != undefined, hasRow) << code;
  }
}

}  // namespace
}  // namespace faxjob
