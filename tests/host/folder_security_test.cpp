// The download folder's security descriptor and the check of an existing
// folder's descriptor, as SDDL.
#include "core/folder_security.h"

#include <gtest/gtest.h>

namespace {

using zelvra::AdmitsWritesOnlyByAdministrators;
using zelvra::DownloadFolderSddl;

constexpr char kUser[] = "S-1-5-21-1004336348-1177238915-682003330-1001";

TEST(FolderSecurity, TheFolderIsOwnedByTheAdministratorsAndOnlyReadByTheUser) {
  EXPECT_EQ(std::string("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;") + kUser + ")",
            DownloadFolderSddl(kUser));
  EXPECT_EQ(std::string("D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;") + kUser + ")",
            DownloadFolderSddl(kUser, false));
  EXPECT_TRUE(AdmitsWritesOnlyByAdministrators(DownloadFolderSddl(kUser)));
}

TEST(FolderSecurity, OnlyDescriptorsThatKeepEveryoneElseFromWritingPass) {
  const std::string user = kUser;
  struct Row {
    std::string sddl;
    bool passes;
    const char* why;
  } rows[] = {
      {"O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;" + user + ")", true, "as read back"},
      {"O:S-1-5-32-544D:P(A;OICI;FA;;;S-1-5-18)(A;OICI;FRFX;;;WD)", true, "SIDs spelt out; read for everyone"},
      {"O:SYD:P", true, "protected and empty: nobody may do anything"},
      {"O:BAD:P(D;OICI;FA;;;WD)(A;;FA;;;BA)", true, "a deny grants nothing"},
      {"O:BAD:P(A;OICI;0x1200a9;;;" + user + ")S:(ML;;NW;;;HI)", true, "a label in the SACL"},
      {"O:" + user + "D:P(A;OICI;FA;;;SY)", false, "the user owns it and may change the DACL"},
      {"D:P(A;OICI;FA;;;SY)", false, "no owner known"},
      {"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false, "not protected: %TEMP%'s rights are inherited"},
      {"O:BAD:AI(A;OICI;FA;;;SY)", false, "auto-inherited but not protected"},
      {"O:BA", false, "no DACL: everyone may do anything"},
      {"O:BAD:NO_ACCESS_CONTROL", false, "a null DACL"},
      {"O:BAD:P(A;OICI;FA;;;" + user + ")", false, "full control for the user"},
      {"O:BAD:P(A;OICIIO;FA;;;" + user + ")", false, "inherit-only: every new file writable by the user"},
      {"O:BAD:P(A;;0x2;;;" + user + ")", false, "add a file"},
      {"O:BAD:P(A;;0x4;;;AU)", false, "add a folder"},
      {"O:BAD:P(A;;0x40;;;WD)", false, "delete a child"},
      {"O:BAD:P(A;;SD;;;" + user + ")", false, "delete"},
      {"O:BAD:P(A;;WD;;;" + user + ")", false, "write the DACL"},
      {"O:BAD:P(A;;WO;;;" + user + ")", false, "take ownership"},
      {"O:BAD:P(A;;GW;;;BU)", false, "generic write"},
      {"O:BAD:P(A;;GA;;;CO)", false, "generic all for the creator"},
      {"O:BAD:P(A;;FW;;;IU)", false, "file write"},
      {"O:BAD:P(A;;0x2000000;;;WD)", false, "maximum allowed"},
      {"O:BAD:P(XA;;FX;;;WD;(@User.Title==\"PM\"))", false, "a conditional ACE is not understood"},
      {"O:BAD:P(OA;;FA;00000000-0000-0000-0000-000000000000;;WD)", false, "an object ACE"},
      {"O:BAD:P(A;;ZZ;;;WD)", false, "unknown right"},
      {"O:BAD:P(A;;0x1200a9g;;;WD)", false, "malformed number"},
      {"O:BAD:P(A;;FA;;)", false, "too few fields"},
      {"O:BAD:P(A;;FR;;;WD", false, "unterminated ACE"},
      // Found by fuzz/folder_security_fuzz.cpp.
      {"S:(ML;;NW;;;HI)O:BAD:P", false, "components out of order"},
      {"O:BAD:PAI0A;OICI;FA;;;SY)", false, "flags that are not flags"},
      {"O:BAD:P(A;;FR;;;WD(A;;0x2;;;WD)", false, "an ACE inside an unterminated one"},
      {"", false, "empty"},
      {"garbage", false, "not SDDL"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.passes, AdmitsWritesOnlyByAdministrators(row.sddl)) << row.why << ": " << row.sddl;
  }
}

}  // namespace
