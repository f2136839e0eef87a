/* Stand-in for ZVUpdater.exe that the mirror serves: a real Windows program
 * (GUI subsystem, no window) that does nothing and exits with code 0. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)instance;
  (void)previous;
  (void)commandLine;
  (void)show;
  return 0;
}
