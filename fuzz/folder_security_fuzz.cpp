// Fuzz target: the check of a folder's security descriptor (SDDL text whose
// ACEs an unelevated program may have chosen).
//
// Input: the SDDL text as UTF-16 code units. Checked: the check ends without
// a fault; a text that passes starts with its owner and holds a DACL; adding
// an ACE that gives everyone the right to add files never passes; and the
// descriptor the installer gives its folder passes for any user SID.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/folder_security.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string text = zelvra::fuzz::Utf16Units(data, size);
  const bool passes = zelvra::AdmitsWritesOnlyByAdministrators(text);
  if (passes) {
    FUZZ_CHECK(text.rfind(u"O:", 0) == 0);
    FUZZ_CHECK(text.find(u"D:") != std::u16string::npos);
  }
  const size_t dacl = text.find(u"D:P");
  if (dacl != std::u16string::npos && text.find(u':', dacl + 2) == std::u16string::npos) {
    FUZZ_CHECK(!zelvra::AdmitsWritesOnlyByAdministrators(text + u"(A;;0x2;;;WD)"));
  }
  if (text.find_first_of(u"();:") == std::u16string::npos) {
    FUZZ_CHECK(zelvra::AdmitsWritesOnlyByAdministrators(zelvra::DownloadFolderSddl(text)));
  }
  return 0;
}
