#include "base/failure.h"

namespace faxjob {

const std::u16string& DescriptionOf(std::int32_t code) {
  static const std::u16string kOverflowText = u"オーバーフローしました。";
  static const std::u16string kOutOfMemoryText = u"メモリが不足しています。";
  static const std::u16string kSubscriptText = u"インデックスが有効範囲にありません。";
  static const std::u16string kTypeMismatchText = u"型が一致しません。";
  static const std::u16string kLibraryLoadText = u"DLL の読み込み中にエラーが発生しました。";
  static const std::u16string kInternalText = u"内部エラーです。";
  static const std::u16string kBadFileNameText = u"ファイル名が不正です。";
  static const std::u16string kFileNotFoundText = u"ファイルが見つかりません。";
  static const std::u16string kAlreadyOpenText = u"ファイルは既に開かれています。";
  static const std::u16string kDeviceIoText = u"デバイス I/O エラーです。";
  static const std::u16string kDiskFullText = u"ディスクの空き容量が不足しています。";
  static const std::u16string kPastEndText = u"ファイルにこれ以上データがありません。";
  static const std::u16string kPermissionText =
      u"書き込みできません。ファイルは他のプロセスで使用中です。";
  static const std::u16string kAccessText =
      u"パス名またはファイル名が無効か、アクセスが拒否されました。";
  static const std::u16string kPathNotFoundText = u"パスが見つかりません。";
  static const std::u16string kEntryPointText = u"DLL エントリ ポイントが見つかりません。";
  static const std::u16string kUnknownText =
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
