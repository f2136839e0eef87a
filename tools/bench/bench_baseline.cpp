// bench_baseline: the smallest Win32 dialog program, built like the installer
// (static, same options): a modal dialog from a template with two texts and
// OK/Cancel. Its start-up and memory are what Wine and the system cost before
// any code of the installer runs. bench_baseline_icon is the same program
// with the installer's icon set on its dialog.
#include <windows.h>

namespace {

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
#ifdef ZELVRA_BASELINE_ICON
      // The installer's icon, loaded and set as the installer's prompt does.
      if (HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(128))) {
        SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
        SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
      }
#endif
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      break;
    default: break;
  }
  return FALSE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  return static_cast<int>(DialogBoxParamW(instance, MAKEINTRESOURCEW(101), nullptr, DialogProc, 0));
}
