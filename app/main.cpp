// The installer's entry: WinMain in the Windows program, main on Linux. Both
// run the same start-up sequence. The Windows program ends with exit code 0
// on every path, which launchers rely on; the Linux program's exit status
// says how the run ended.
#include "app/application.h"
#include "platform/process.h"

#ifdef _WIN32
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  platform::RestrictLibrarySearch();
  RunApplication();
  return 0;
}
#else
#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] = "usage: update [--help | --version]\n";

const char kHelp[] =
    "usage: update [--help | --version]\n"
    "Applies the patch in the current folder to the installed game: reads update.lst,\n"
    "asks its questions in the terminal, finds the game's folder in the registry (of a\n"
    "Wine prefix, or a registry file) and copies the patch's files into it.\n"
    "environment:\n"
    "  WINEPREFIX         the Wine prefix whose registry and drives lead to the game,\n"
    "                     when VXUPDATE_REGISTRY is not set (prefix mode; with neither\n"
    "                     set and no registry file, ~/.wine when it holds user.reg)\n"
    "  VXUPDATE_REGISTRY  the registry file (default $XDG_CONFIG_HOME/vxupdate/registry.reg,\n"
    "                     else $HOME/.config/vxupdate/registry.reg)\n"
    "  XDG_CONFIG_HOME    the folder of the default registry file\n"
    "  XDG_RUNTIME_DIR    the folder of the game's lock file (default /tmp)\n"
    "exit status:\n"
    "  0   the final message showed and every matched file was copied\n"
    "  1   the run ended before the final message (refused, declined or stopped)\n"
    "  2   the final message showed but some file was not copied (failed or declined)\n"
    "  64  a usage error: any argument but --help or --version\n";

// Exit statuses (64 is the usual one for a usage error).
constexpr int kExitUpdated = 0;
constexpr int kExitEndedEarly = 1;
constexpr int kExitUpdatedPartly = 2;
constexpr int kExitUsage = 64;

}  // namespace

int main(int argc, char** argv) {
  // The installer takes no arguments; it answers these two questions, and
  // does nothing at all for any other argument.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("update %s\n", VX_VERSION);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (argc > 1) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  platform::RestrictLibrarySearch();
  switch (RunApplication()) {
    case RunOutcome::kUpdated:
      return kExitUpdated;
    case RunOutcome::kUpdatedPartly:
      return kExitUpdatedPartly;
    case RunOutcome::kEndedEarly:
      break;
  }
  return kExitEndedEarly;
}
#endif
