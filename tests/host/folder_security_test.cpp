// The download folder's security descriptor and the check of an existing
// folder's descriptor, as SDDL.
#include "core/folder_security.h"

#include <gtest/gtest.h>

namespace {

using zelvra::AdmitsWritesOnlyByAdministrators;
using zelvra::DownloadFolderSddl;

constexpr char16_t kUser[] = u"S-1-5-21-1004336348-1177238915-682003330-1001";

// Whoever comes to own what is created in the folder gets read and execute
// from owning it, not the owner's implicit right to change its DACL.
constexpr char16_t kOwnerRights[] = u"(A;OICI;0x1200a9;;;OW)";

TEST(FolderSecurity, TheFolderIsOwnedByTheAdministratorsAndOnlyReadByTheUser) {
  EXPECT_EQ(std::u16string(u"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;") + kUser + u")" + kOwnerRights,
            DownloadFolderSddl(kUser));
  EXPECT_EQ(std::u16string(u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;") + kUser + u")" + kOwnerRights,
            DownloadFolderSddl(kUser, false));
  EXPECT_TRUE(AdmitsWritesOnlyByAdministrators(DownloadFolderSddl(kUser)));
}

TEST(FolderSecurity, OnlyDescriptorsThatKeepEveryoneElseFromWritingPass) {
  const std::u16string user = kUser;
  const std::u16string ow = kOwnerRights;
  struct Row {
    std::u16string sddl;
    bool passes;
    const char* why;
  } rows[] = {
      {u"O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;" + user + u")(A;OICI;0x1200a9;;;OW)", true,
       "as read back"},
      {u"O:S-1-5-32-544D:P(A;OICI;FA;;;S-1-5-18)(A;OICI;FRFX;;;WD)(A;CIOI;FR;;;S-1-3-4)", true,
       "SIDs spelt out; read for everyone"},
      {u"O:BAD:P(D;OICI;FA;;;WD)(A;;FA;;;BA)" + ow, true, "a deny grants nothing"},
      {u"O:BAD:P(A;OICI;0x1200a9;;;" + user + u")" + ow + u"S:(ML;;NW;;;HI)", true, "a label in the SACL"},
      {u"O:BAD:P(D;OICIIO;WDWO;;;OW)", true, "OWNER RIGHTS denied, for what is created in it only"},
      {u"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;" + user + u")", false,
       "no OWNER RIGHTS: an owner of a file in it could change its DACL"},
      {u"O:SYD:P", false, "protected and empty: no OWNER RIGHTS either"},
      {u"O:BAD:P(A;OI;0x1200a9;;;OW)", false, "OWNER RIGHTS for files only"},
      {u"O:BAD:P(A;CI;0x1200a9;;;OW)", false, "OWNER RIGHTS for folders only"},
      {u"O:BAD:P(A;OICI;0x1200a9;;;OW)(A;OICI;WD;;;OW)", false, "OWNER RIGHTS may change the DACL"},
      {u"O:" + user + u"D:P(A;OICI;FA;;;SY)", false, "the user owns it and may change the DACL"},
      {u"D:P(A;OICI;FA;;;SY)", false, "no owner known"},
      {u"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false, "not protected: %TEMP%'s rights are inherited"},
      {u"O:BAD:AI(A;OICI;FA;;;SY)", false, "auto-inherited but not protected"},
      {u"O:BA", false, "no DACL: everyone may do anything"},
      {u"O:BAD:NO_ACCESS_CONTROL", false, "a null DACL"},
      {u"O:BAD:P(A;OICI;FA;;;" + user + u")", false, "full control for the user"},
      {u"O:BAD:P(A;OICIIO;FA;;;" + user + u")", false, "inherit-only: every new file writable by the user"},
      {u"O:BAD:P(A;;0x2;;;" + user + u")", false, "add a file"},
      {u"O:BAD:P(A;;0x4;;;AU)", false, "add a folder"},
      {u"O:BAD:P(A;;0x40;;;WD)", false, "delete a child"},
      {u"O:BAD:P(A;;SD;;;" + user + u")", false, "delete"},
      {u"O:BAD:P(A;;WD;;;" + user + u")", false, "write the DACL"},
      {u"O:BAD:P(A;;WO;;;" + user + u")", false, "take ownership"},
      {u"O:BAD:P(A;;GW;;;BU)", false, "generic write"},
      {u"O:BAD:P(A;;GA;;;CO)", false, "generic all for the creator"},
      {u"O:BAD:P(A;;FW;;;IU)", false, "file write"},
      {u"O:BAD:P(A;;0x2000000;;;WD)", false, "maximum allowed"},
      {u"O:BAD:P(XA;;FX;;;WD;(@User.Title==\"PM\"))", false, "a conditional ACE is not understood"},
      {u"O:BAD:P(OA;;FA;00000000-0000-0000-0000-000000000000;;WD)", false, "an object ACE"},
      {u"O:BAD:P(A;;ZZ;;;WD)", false, "unknown right"},
      {u"O:BAD:P(A;;0x1200a9g;;;WD)", false, "malformed number"},
      {u"O:BAD:P(A;;0X001200A9;;;WD)" + ow, true, "leading zeros, capitals"},
      {u"O:BAD:P(A;;0x100000000;;;WD)", false, "beyond 32 bits"},
      {u"O:BAD:P(A;;0x+1;;;WD)", false, "a sign is not a hexadecimal digit"},
      {u"O:BAD:P(A;;0x 1;;;WD)", false, "nor is a blank"},
      {u"O:BAD:P(A;;FA;;)", false, "too few fields"},
      {u"O:BAD:P(A;;FR;;;WD", false, "unterminated ACE"},
      // Found by fuzz/folder_security_fuzz.cpp.
      {u"S:(ML;;NW;;;HI)O:BAD:P", false, "components out of order"},
      {u"O:BAD:PAI0A;OICI;FA;;;SY)", false, "flags that are not flags"},
      {u"O:BAD:P(A;;FR;;;WD(A;;0x2;;;WD)", false, "an ACE inside an unterminated one"},
      {u"", false, "empty"},
      {u"garbage", false, "not SDDL"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.passes, AdmitsWritesOnlyByAdministrators(row.sddl))
        << row.why << ": " << ::testing::PrintToString(row.sddl);
  }
}

}  // namespace
