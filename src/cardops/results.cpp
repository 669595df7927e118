#include "results.h"

// Every result has its row (-Werror=switch).
ResultKind ResultKindOf(CardOpResult result) {
  switch (result) {
    case kOpOk: return ResultKind::kDone;
    case kOpStopped: return ResultKind::kStopped;
    case kOpDeviceGone:
    case kOpDeviceFailed:
    case kOpFlushFailed:
    case kOpVerifyFailed: return ResultKind::kDeviceFailed;
    case kOpCannotOpenPcFile:
    case kOpPcReadFailed:
    case kOpNoSpace:
    case kOpWrongKind:
    case kOpNameNotStorable:
    case kOpNameTooLong:
    case kOpDirectoryFull:
    case kOpNameTableFull:
    case kOpNoFileIdLeft:
    case kOpNameOnCard:
    case kOpNotOnCard:
    case kOpUnsafeName:
    case kOpCannotCreatePcFile:
    case kOpPcWriteFailed:
    case kOpDamaged:
    case kOpDecodeFailed:
    case kOpWavNotWritten:
    case kOpNotVoice:
    case kOpVoiceTooLong:
    case kOpNoResampler:
    case kOpNoSoundLibrary:
    case kOpNotAPcName:
    case kOpPcNameTaken: return ResultKind::kRefused;
  }
  return ResultKind::kDeviceFailed;
}
