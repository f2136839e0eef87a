// Whether this process runs with administrator rights: the elevated run
// treats everything its user can write as hostile.
#pragma once

namespace zelvra {

// Whether the process runs with an elevated (administrator) token.
bool IsProcessElevated();

}  // namespace zelvra
