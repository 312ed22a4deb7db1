#include "base/failure.h"

namespace faxjob {

std::u16string_view DescriptionOf(std::int32_t code) {
  static constexpr std::u16string_view kOverflowText = u"オーバーフローしました。";
  static constexpr std::u16string_view kOutOfMemoryText = u"メモリが不足しています。";
  static constexpr std::u16string_view kSubscriptText = u"インデックスが有効範囲にありません。";
  static constexpr std::u16string_view kTypeMismatchText = u"型が一致しません。";
  static constexpr std::u16string_view kLibraryLoadText =
      u"DLL の読み込み中にエラーが発生しました。";
  static constexpr std::u16string_view kInternalText = u"内部エラーです。";
  static constexpr std::u16string_view kBadFileNameText = u"ファイル名が不正です。";
  static constexpr std::u16string_view kFileNotFoundText = u"ファイルが見つかりません。";
  static constexpr std::u16string_view kAlreadyOpenText = u"ファイルは既に開かれています。";
  static constexpr std::u16string_view kDeviceIoText = u"デバイス I/O エラーです。";
  static constexpr std::u16string_view kDiskFullText = u"ディスクの空き容量が不足しています。";
  static constexpr std::u16string_view kPastEndText = u"ファイルにこれ以上データがありません。";
  static constexpr std::u16string_view kPermissionText =
      u"書き込みできません。ファイルは他のプロセスで使用中です。";
  static constexpr std::u16string_view kAccessText =
      u"パス名またはファイル名が無効か、アクセスが拒否されました。";
  static constexpr std::u16string_view kPathNotFoundText = u"パスが見つかりません。";
  static constexpr std::u16string_view kEntryPointText = u"DLL エントリ ポイントが見つかりません。";
  static constexpr std::u16string_view kUnknownText =
      u"アプリケーション定義またはオブジェクト定義のエラーです。";
  switch (code) {
    case kOverflow:
      return kOverflowText;
    case kOutOfMemory:
      return kOutOfMemoryText;
    case kSubscriptOutOfRange:
      return kSubscriptText;
    case kTypeMismatch:
      return kTypeMismatchText;
    case kLibraryLoadError:
      return kLibraryLoadText;
    case kInternalError:
      return kInternalText;
    case kBadFileName:
      return kBadFileNameText;
    case kFileNotFound:
      return kFileNotFoundText;
    case kFileAlreadyOpen:
      return kAlreadyOpenText;
    case kDeviceIoError:
      return kDeviceIoText;
    case kDiskFull:
      return kDiskFullText;
    case kInputPastEndOfFile:
      return kPastEndText;
    case kHeldByAnotherProcess:
      return kPermissionText;
    case kAccessRefused:
      return kAccessText;
    case kPathNotFound:
      return kPathNotFoundText;
    case kEntryPointNotFound:
      return kEntryPointText;
    default:
      return kUnknownText;
  }
}

}  // namespace faxjob
