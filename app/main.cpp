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
#include <cstdio>
#include <cstring>

namespace {

const char kHelp[] =
    "usage: update [--help | --version]\n"
    "Applies the patch in the current folder to the installed game: reads update.lst,\n"
    "asks its questions in the terminal, finds the game's folder in the registry (of a\n"
    "Wine prefix, or a registry file) and copies the patch's files into it. Any other\n"
    "argument is ignored.\n"
    "environment:\n"
    "  WINEPREFIX         the Wine prefix whose registry and drives lead to the game,\n"
    "                     when VXUPDATE_REGISTRY is not set (prefix mode)\n"
    "  VXUPDATE_REGISTRY  the registry file (default $XDG_CONFIG_HOME/vxupdate/registry.reg,\n"
    "                     else $HOME/.config/vxupdate/registry.reg)\n"
    "  XDG_CONFIG_HOME    the folder of the default registry file\n"
    "  XDG_RUNTIME_DIR    the folder of the game's lock file (default /tmp)\n"
    "exit status: 0, whatever happened (the boxes say what went wrong)\n";

}  // namespace

int main(int argc, char** argv) {
  // The installer takes no arguments; it only answers these two questions,
  // and starts as usual whatever else it is given.
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("update %s\n", VX_VERSION);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  platform::RestrictLibrarySearch();
  return RunApplication();
}
#endif
