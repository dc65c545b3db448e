// The installer's entry: WinMain in the Windows program, main on Linux. Both
// run the same start-up sequence and end with exit code 0 on every path.
#include "app/application.h"
#include "platform/process.h"

#ifdef _WIN32
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  platform::RestrictLibrarySearch();
  return RunApplication();
}
#else
int main() {
  platform::RestrictLibrarySearch();
  return RunApplication();
}
#endif
