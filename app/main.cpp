// Entry point of ZelvraInstaller.exe: the one application object and the
// framework's entry routine. Everything else lives in the installer library.
#include "app/installer_app.h"

CInstallerApp theApp;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand) {
  return AfxWinMain(instance, previous, commandLine, showCommand);
}
