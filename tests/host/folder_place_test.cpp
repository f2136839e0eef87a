// What an elevated run does with an entry in its download folder's place.
#include "core/folder_place.h"

#include <gtest/gtest.h>

#include "core/folder_security.h"

namespace {

using zelvra::DecideFolderPlace;
using zelvra::FolderPlaceAction;
using zelvra::FolderPlaceFacts;

constexpr char16_t kUser[] = u"S-1-5-21-1004336348-1177238915-682003330-1001";

TEST(FolderPlace, EachKindOfEntryGetsItsAction) {
  const std::u16string safe = zelvra::DownloadFolderSddl(kUser);
  const std::u16string usersOwn = std::u16string(u"O:") + kUser + u"D:P(A;OICI;FA;;;" + kUser + u")";
  constexpr std::uint32_t kSharingViolation = 32, kFileNotFound = 2;
  struct Row {
    const char* entry;
    FolderPlaceFacts facts;
    FolderPlaceAction action;
    std::uint32_t error;
  } rows[] = {
      {"our own folder from an earlier run", {0, 0, true, false, safe}, FolderPlaceAction::kKeep, 0},
      {"a folder the user may write", {0, 0, true, false, usersOwn}, FolderPlaceAction::kMoveAside, 0},
      {"a folder whose security cannot be read", {0, 0, true, false, u""}, FolderPlaceAction::kMoveAside, 0},
      {"a link to a safe folder", {0, 0, true, true, safe}, FolderPlaceAction::kDeleteLink, 0},
      {"a link to a file", {0, 0, false, true, usersOwn}, FolderPlaceAction::kDeleteLink, 0},
      {"a file, even one only the Administrators may write",
       {0, 0, false, false, safe},
       FolderPlaceAction::kMoveAsideAndDelete,
       0},
      {"an entry that keeps the Administrators out",
       {5, 0, true, false, u""},
       FolderPlaceAction::kReopenForDeleteAndMoveAside,
       0},
      {"an entry held by someone else",
       {kSharingViolation, 0, false, false, u""},
       FolderPlaceAction::kFail,
       kSharingViolation},
      {"an entry gone before it was opened",
       {kFileNotFound, 0, false, false, u""},
       FolderPlaceAction::kFail,
       kFileNotFound},
      {"an entry whose attributes cannot be read", {0, 87, true, false, safe}, FolderPlaceAction::kFail, 87},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.entry);
    const zelvra::FolderPlaceDecision decision = DecideFolderPlace(row.facts);
    EXPECT_EQ(row.action, decision.action);
    EXPECT_EQ(row.error, decision.error);
  }
}

}  // namespace
