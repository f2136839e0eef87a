/* Stand-in for ZVUpdaterRes.dll that the mirror serves: a real, loadable DLL
 * with no exports. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}
