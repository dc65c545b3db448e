// packtool: builds, lists, checks and unpacks pack archives.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/packtool/packtool.h"

namespace {

const char kUsage[] =
    "usage: packtool create OUT.pack [--layout plain|extended|hashed] [--key HEX]\n"
    "                       [--coding stored|zlc2|rle0|auto] FILE...\n"
    "       packtool list PACK\n"
    "       packtool cat PACK NAME\n"
    "       packtool extract PACK [DIR]\n"
    "       packtool verify PACK\n"
    "       packtool --help | --version\n"
    "exit status: 0 ok, 1 the pack can't be opened or written, 2 an entry can't be\n"
    "opened, read or made, 64 usage error\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return packtool::kUsage;
  }
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "create") return packtool::Create(args);
  if (command == "list") return packtool::List(args);
  if (command == "cat") return packtool::Cat(args);
  if (command == "extract") return packtool::Extract(args);
  if (command == "verify") return packtool::Verify(args);
  // "/?" as Windows console programs take it.
  if (command == "--help" || command == "-h" || command == "help" || command == "/?") {
    std::fputs(kUsage, stdout);
    return packtool::kOk;
  }
  if (command == "--version") {
    std::printf("packtool %s\n", VX_VERSION);
    return packtool::kOk;
  }
  packtool::Error("unknown command \"" + command + "\" (try packtool --help)");
  return packtool::kUsage;
}
