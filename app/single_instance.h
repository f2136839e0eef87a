// One copy of the installer at a time in a Windows logon session.
//
// Two copies at once (a double-click, or a second click while the first one
// waits for its elevation prompt) would download into the same folder and
// move each other's files aside while they are written or about to start.
// So the first copy holds a named object of the session's namespace from its
// start until its process ends, and publishes in it the thread that shows
// its windows. A later copy that finds the object brings that copy's prompt
// (or the last window it made active: the download dialog, a message box) to
// the front and ends, showing nothing of its own.
//
// An elevated and an unelevated copy see each other: whoever makes the
// object, every signed-in user of the session may read it, and an object of
// that name that cannot be opened counts as a running copy all the same. So
// a program of the user can take the name first and keep the installer from
// running; a program of the user can end the installer just as well.
#pragma once

#include <windows.h>

#include "platform/handle.h"

class CSingleInstance {
 public:
  CSingleInstance() = default;
  CSingleInstance(const CSingleInstance&) = delete;
  CSingleInstance& operator=(const CSingleInstance&) = delete;
  ~CSingleInstance();

  // Takes the session's object for this copy, which holds it until the
  // process ends, and publishes the calling thread as the one that shows this
  // copy's windows. False when another copy holds it (or an object of its
  // name exists that this copy cannot use); true also when the object cannot
  // be made at all, so that a failure of its own never keeps the installer
  // from running.
  [[nodiscard]] bool Claim();
  // After a Claim that found another copy: brings the last active pop-up of
  // that copy's prompt to the front, where the copy can be found and its
  // prompt exists.
  void BringRunningCopyToFront() const;

 private:
  zelvra::UniqueHandle m_mapping;
  void* m_pView = nullptr;  // this copy's own view of the object, while it holds it
};
