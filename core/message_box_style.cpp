#include "core/message_box_style.h"

namespace zelvra {

namespace {
// Values of the platform's message-box styles (stable since Windows 1.0).
constexpr unsigned kOk = 0x0, kOkCancel = 0x1, kYesNoCancel = 0x3, kYesNo = 0x4;
constexpr unsigned kTypeMask = 0xF, kIconMask = 0xF0;
constexpr unsigned kIconQuestion = 0x20, kIconExclamation = 0x30, kIconInformation = 0x40;
constexpr unsigned kDefButton2 = 0x100;
}  // namespace

unsigned AppMessageBoxStyle(unsigned requested) {
  if (requested == kYesNo) return kYesNo | kIconQuestion | kDefButton2;
  if (requested == kIconInformation) return requested;
  return requested | kIconExclamation;
}

unsigned FrameworkMessageBoxStyle(unsigned requested) {
  if ((requested & kIconMask) != 0) return requested;
  switch (requested & kTypeMask) {
    case kOk:
    case kOkCancel:
    case kYesNoCancel:
    case kYesNo: return requested | kIconExclamation;
    default: return requested;
  }
}

}  // namespace zelvra
