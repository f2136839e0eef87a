// Whether this process runs with administrator rights: the elevated run
// treats everything its user can write as hostile.
#pragma once

namespace zelvra {

// Whether the process runs with an elevated (administrator) token. (A test
// build compiled with ZELVRA_TEST_UNELEVATED always answers false.)
bool IsProcessElevated();

}  // namespace zelvra
