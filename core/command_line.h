// The arguments part of a raw Windows command line.
#pragma once

#include "core/mbcs.h"

namespace zelvra {

// Returns a pointer into `commandLine` just past the program's own name and the
// blanks that follow it.
//
// A name that begins with a quotation mark runs to the next quotation mark
// (stepping over double-byte characters); that closing mark is skipped with
// it. An unquoted name runs to the first character whose code is 32 or less.
// Every following character whose code is 1 to 32 is skipped as well; nothing
// else is: quotation marks, inner and trailing blanks of the arguments stay.
// An unterminated quoted name takes the whole line, leaving no arguments.
const char* ArgumentsOfCommandLine(const char* commandLine, LeadByteTest isLeadByte);

}  // namespace zelvra
