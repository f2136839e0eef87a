// Fuzz target: the decision over an entry in the download folder's place,
// whose kind, errors and security an unelevated program may have chosen.
//
// Input: one byte of flags (bit 0 folder, bit 1 link, bit 2 open denied,
// bit 3 another open error, bit 4 attributes unreadable), then the SDDL text
// as UTF-16 code units. Checked: only a real folder whose security passes is
// kept; a link is only ever removed itself; a file is never kept or left in
// place; a failure always carries an error and only comes from one.
#include <cstddef>
#include <cstdint>

#include "core/folder_place.h"
#include "core/folder_security.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  zelvra::FolderPlaceFacts facts;
  facts.isFolder = (flags & 1) != 0;
  facts.isLink = (flags & 2) != 0;
  facts.openError = (flags & 4) != 0 ? zelvra::kAccessDeniedError : (flags & 8) != 0 ? 32 : 0;
  facts.attributesError = (flags & 16) != 0 ? 1 : 0;
  facts.security = zelvra::fuzz::Utf16Units(data + 1, size - 1);
  const zelvra::FolderPlaceDecision decision = zelvra::DecideFolderPlace(facts);
  using Action = zelvra::FolderPlaceAction;
  const bool opened = facts.openError == 0 && facts.attributesError == 0;
  FUZZ_CHECK((decision.action == Action::kFail) == (decision.error != 0));
  if (decision.action == Action::kFail) FUZZ_CHECK(!opened && facts.openError != zelvra::kAccessDeniedError);
  if (decision.action == Action::kKeep) {
    FUZZ_CHECK(opened && facts.isFolder && !facts.isLink);
    FUZZ_CHECK(zelvra::AdmitsWritesOnlyByAdministrators(facts.security));
  }
  if (opened && facts.isLink) FUZZ_CHECK(decision.action == Action::kDeleteLink);
  if (opened && !facts.isFolder && !facts.isLink) FUZZ_CHECK(decision.action == Action::kMoveAsideAndDelete);
  return 0;
}
