// The security of the download folder of an elevated run, in the platform's
// text form of security descriptors (SDDL): the descriptor the folder is
// given, and the test whether an existing folder's descriptor keeps every
// program without administrator rights from changing it or what it holds.
#pragma once

#include <string>

namespace zelvra {

// Owned by the Administrators (unless `withOwner` is false: the creator's
// default owner then), with a protected DACL (nothing inherited from the
// temporary folder) that gives SYSTEM and the Administrators full control,
// `userSid` (the user's SID as text) read and execute, and OWNER RIGHTS read
// and execute, for the folder and everything created in it. The last takes
// from whoever owns a file the rights an owner otherwise always has (to read
// and change its DACL): where the policy makes the user the owner of what an
// elevated program creates, the user could otherwise rewrite the downloaded
// files' security, and then the files.
std::u16string DownloadFolderSddl(const std::u16string& userSid, bool withOwner = true);

// True when the descriptor lets no one but SYSTEM and the Administrators
// write: its owner is one of them (an owner may always change the DACL), its
// DACL is present and protected, no ACE, inherit-only ones included (they
// become the rights on new files), allows anyone else any right to write,
// delete, or change the security, and an ACE for OWNER RIGHTS is inherited
// by files and folders (OI and CI), so that whoever owns what is created in
// it gets no rights from owning it. Anything not understood counts as a
// write, a number in other than plain hexadecimal digits after its "0x"
// included.
bool AdmitsWritesOnlyByAdministrators(const std::u16string& sddl);

}  // namespace zelvra
