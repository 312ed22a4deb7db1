#include "base/failure.h"

namespace faxjob {

std::u16string_view DescriptionOf(std::int32_t code) {
  switch (code) {
    case kOverflow:
      return u"オーバーフローしました。";
    case kOutOfMemory:
      return u"メモリが不足しています。";
    case kSubscriptOutOfRange:
      return u"インデックスが有効範囲にありません。";
    case kTypeMismatch:
      return u"型が一致しません。";
    case kLibraryLoadError:
      return u"DLL の読み込み中にエラーが発生しました。";
    case kInternalError:
      return u"内部エラーです。";
    case kBadFileName:
      return u"ファイル名が不正です。";
    case kFileNotFound:
      return u"ファイルが見つかりません。";
    case kFileAlreadyOpen:
      return u"ファイルは既に開かれています。";
    case kDeviceIoError:
      return u"デバイス I/O エラーです。";
    case kDiskFull:
      return u"ディスクの空き容量が不足しています。";
    case kInputPastEndOfFile:
      return u"ファイルにこれ以上データがありません。";
    case kHeldByAnotherProcess:
      return u"書き込みできません。ファイルは他のプロセスで使用中です。";
    case kAccessRefused:
      return u"パス名またはファイル名が無効か、アクセスが拒否されました。";
    case kPathNotFound:
      return u"パスが見つかりません。";
    case kEntryPointNotFound:
      return u"DLL エントリ ポイントが見つかりません。";
    default:
      return u"アプリケーション定義またはオブジェクト定義のエラーです。";
  }
}

}  // namespace faxjob
