// The environment the elevated run gives the launcher: the installer's own,
// which comes from the user (HKCU\Environment, the program that started it),
// without the variables through which a runtime loads code the variable
// names, since the launcher and what it starts run with administrator rights.
#pragma once

#include <string>

namespace zelvra {

// The environment block for the launcher from `block`, the installer's
// environment as the platform gives it: "NAME=value" entries, each ended by
// a NUL, the block ended by an empty entry (or by the end of `block`). Every
// entry is kept, in order and unchanged, except those whose name (the part
// before the first '=' after the entry's first unit; the whole entry when
// there is none) is one of the hidden variables, compared as the platform
// compares names: without regard to case. The result ends with an empty
// entry: every entry's NUL and one more, two NULs for an empty block.
std::u16string LauncherEnvironment(const std::u16string& block);

}  // namespace zelvra
