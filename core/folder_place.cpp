#include "core/folder_place.h"

#include "core/folder_security.h"

namespace zelvra {

FolderPlaceDecision DecideFolderPlace(const FolderPlaceFacts& facts) {
  if (facts.openError == kAccessDeniedError) return {FolderPlaceAction::kReopenForDeleteAndMoveAside, 0};
  if (facts.openError != 0) return {FolderPlaceAction::kFail, facts.openError};
  if (facts.attributesError != 0) return {FolderPlaceAction::kFail, facts.attributesError};
  if (facts.isLink) return {FolderPlaceAction::kDeleteLink, 0};
  if (!facts.isFolder) return {FolderPlaceAction::kMoveAsideAndDelete, 0};
  if (AdmitsWritesOnlyByAdministrators(facts.security)) return {FolderPlaceAction::kKeep, 0};
  return {FolderPlaceAction::kMoveAside, 0};
}

}  // namespace zelvra
