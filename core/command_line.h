// The arguments part of a raw Windows command line.
#pragma once

namespace zelvra {

// Returns a pointer into `commandLine` just past the program's own name and the
// blanks that follow it; a null line has no arguments ("").
//
// A name that begins with a quotation mark runs to the next quotation mark,
// which is skipped with it (in UTF-16 no unit of another character is a
// quotation mark). An unquoted name runs to the first unit whose code is 32 or
// less. Every following unit whose code is 1 to 32 is skipped as well; nothing
// else is: quotation marks, inner and trailing blanks of the arguments stay.
// An unterminated quoted name takes the whole line, leaving no arguments.
const char16_t* ArgumentsOfCommandLine(const char16_t* commandLine);

}  // namespace zelvra
