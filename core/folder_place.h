// What an elevated run does with an entry found where it wants to create its
// download folder: the decision alone, from the facts the platform code
// gathered about the entry (opened as itself, never through a link). The
// platform code then only acts on it.
#pragma once

#include <cstdint>
#include <string>

namespace zelvra {

// The entry in the folder's place, as the platform code found it.
struct FolderPlaceFacts {
  // The system error of opening the entry as itself for use and deletion
  // (0: opened).
  std::uint32_t openError = 0;
  // The system error of reading the opened entry's attributes (0: read).
  std::uint32_t attributesError = 0;
  // From the entry's attributes, by its handle or as its folder lists it.
  bool isFolder = false;
  bool isLink = false;  // a junction or symbolic link: a reparse point to either question
  // The entry's owner and DACL as SDDL text; empty when unreadable.
  std::u16string security;
};

enum class FolderPlaceAction {
  kKeep,                         // a real folder only SYSTEM and the Administrators can write: use it
  kDeleteLink,                   // remove the link itself, never what it points to
  kMoveAside,                    // rename the folder aside, with all it holds
  kMoveAsideAndDelete,           // a file: rename it aside, then delete it
  kReopenForDeleteAndMoveAside,  // its security keeps the Administrators out: open it for deletion only, rename it
                                 // aside
  kFail,                         // the place cannot be cleared: the run fails with `error`
};

struct FolderPlaceDecision {
  FolderPlaceAction action;
  std::uint32_t error;  // for kFail, the system error to fail with; else 0
};

// The system error code for "access denied", the one open error that still
// leaves a way to clear the place.
constexpr std::uint32_t kAccessDeniedError = 5;

// Keeps only a real folder (not a link) whose own security admits writes by
// SYSTEM and the Administrators alone; removes a link; moves any other folder
// aside; moves a file aside and deletes it; reopens for deletion what the
// Administrators may not open; fails on any other error.
FolderPlaceDecision DecideFolderPlace(const FolderPlaceFacts& facts);

}  // namespace zelvra
