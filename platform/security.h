// Security descriptors and SIDs in their string forms, for the folders an
// elevated run makes and judges.
#pragma once

#include <windows.h>

#include <string>

#include "platform/handle.h"

namespace zelvra {

// The process's user as a SID string ("S-1-5-21-..."); empty on failure.
std::wstring ProcessUserSid();
// The owner and DACL of `descriptor` as SDDL; empty on failure.
std::u16string SddlOf(PSECURITY_DESCRIPTOR descriptor);
// The owner and DACL of the file or folder of `object` as SDDL; empty on
// failure.
std::u16string SecurityOf(HANDLE object);
// The descriptor that `sddl` describes, in `descriptor`; false on failure.
bool DescriptorFromSddl(const wchar_t* sddl, LocalMemory& descriptor);

}  // namespace zelvra
