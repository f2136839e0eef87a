// How message-box styles are completed before a box is shown.
#pragma once

namespace zelvra {

// The style the program's own message routine shows for a requested style:
// exactly MB_YESNO becomes Yes/No with the question icon and No as default
// (0x124); exactly MB_ICONINFORMATION stays; anything else gets the
// exclamation icon (0x30) OR-ed in.
unsigned AppMessageBoxStyle(unsigned requested);

// The style the framework's message box shows: a style that names no icon and
// whose buttons are OK, OK/Cancel, Yes/No/Cancel or Yes/No gets the
// exclamation icon; every other style is shown as requested.
unsigned FrameworkMessageBoxStyle(unsigned requested);

}  // namespace zelvra
