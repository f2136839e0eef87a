// The elevation check of the unelevated test build (ZelvraInstallerUnelevated):
// it stands in for platform/elevation.cpp and answers "not elevated", since
// Wine reports every process as elevated. Never part of the product.
#include "platform/elevation.h"

namespace zelvra {

bool IsProcessElevated() { return false; }

}  // namespace zelvra
