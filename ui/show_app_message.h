// The one routine through which the user-interface thread shows a message box.
#pragma once

#include <windows.h>

// Shows string `messageId` titled with the application title, owned by
// `owner` or, when that is null, by the calling thread's main window. Style
// MB_YESNO becomes Yes/No with the question icon and No as default; style
// MB_ICONINFORMATION is shown as is; every other style gets the exclamation
// icon. Returns the box's result (0 when it cannot be shown). In an
// unattended run the text is written to the run's log instead, and the
// result is that of the box's default button (IDOK, or IDNO for Yes/No).
int ShowAppMessage(UINT messageId, HWND owner, UINT style);
