#include "faxbridge/result_messages.h"

#include <array>
#include <string_view>

namespace faxjob {

namespace {

// Indexed by -code for codes 0 to -22; an empty entry has no row of its own.
// The half-width katakana and punctuation are the library's own wording.
constexpr std::array<std::u16string_view, 23> kMessagesByNegatedCode = {
    u"FAX送信を終了しました｡",                        // 0
    u"関数の引数及び､構造体の内部に異常があります｡",  // -1
    u"ﾘｻﾞﾙﾄﾌｧｲﾙの作成または､書込のｴﾗｰです｡",          // -2
    u"ﾌｧｲﾙ全般の作成または､書込のｴﾗｰです｡",           // -3
    u"内部ｴﾗｰです｡",                                  // -4
    u"FAX通信でのｴﾗｰです｡",                           // -5
    u"ﾒﾓﾘ不足のｴﾗｰです｡",                             // -6
    u"ﾕｰｻﾞ中断です｡",                                 // -7
    u"",                                              // -8
    u"",                                              // -9
    u"送信指示ﾌｧｲﾙのﾊﾟﾗﾒｰﾀに異常があります｡",         // -10
    u"送信待への登録ｴﾗｰ｡",                            // -11
    u"",                                              // -12
    u"必要なﾌｧｲﾙが見つかりません｡",                   // -13
    u"ﾌｧｲﾙ全般の読込ｴﾗｰです｡",                        // -14
    u"ﾃﾞｰﾀﾌｧｲﾙの形式が未ｻﾎﾟｰﾄまたは、異常です｡",      // -15
    u"送信指示ﾌｧｲﾙがｵｰﾌﾟﾝできません｡",                // -16
    u"送信指示ﾌｧｲﾙの形式に異常があります｡",           // -17
    u"ゾラミV2の起動ｴﾗｰです｡",                        // -18
    u"ゾラミV2との通信ｴﾗｰです｡",                      // -19
    u"ゾラミV2は操作中です｡",                         // -20
    u"異文書同報送信中です｡",                         // -21
    u"通信中または､送信待機中です｡",                  // -22
};

constexpr std::u16string_view kUndefinedErrorMessage = u"未定義のｴﾗｰです｡ ";

}  // namespace

std::u16string_view ResultMessages(std::int32_t resultCode) {
  if (resultCode > 0 || resultCode < -22) return kUndefinedErrorMessage;
  const std::u16string_view message = kMessagesByNegatedCode[static_cast<std::size_t>(-resultCode)];
  return message.empty() ? kUndefinedErrorMessage : message;
}

}  // namespace faxjob
