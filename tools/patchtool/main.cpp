// patchtool: makes, checks and previews a patch folder for the installer.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/patchtool/patchtool.h"

namespace {

const char kUsage[] =
    "usage: patchtool make OLD NEW OUT [--title T] [--patch-name N] [--mutex M]\n"
    "                      [--regbase B] [--reginstall V] [--settings FILE]\n"
    "                      [--installer FILE] [--exclude PATTERN]... [--touch]\n"
    "                      [--delta] [--strict] [--json]\n"
    "       patchtool check [--old OLD] [--strict] [--json] PATCH\n"
    "       patchtool plan [--old OLD] [--new NEW] [--strict] [--json] PATCH INSTALLDIR\n"
    "       patchtool --help | --version\n"
    "\n"
    "make   writes into OUT (new or empty) every file of NEW that OLD lacks or holds\n"
    "       with other bytes, the installer, and an update.lst (code page 932, CR LF)\n"
    "       with the settings and the rules that copy exactly those files, and lists\n"
    "       the files only in OLD in removed.txt; it refuses, writing nothing, what\n"
    "       would fail on players' installations. --settings takes the settings of an\n"
    "       existing update.lst; the options override them. --installer copies the\n"
    "       Windows installer FILE into OUT as Update.exe (default: the one beside\n"
    "       patchtool, or /usr/share/vxupdate/Update.exe). --exclude leaves out the\n"
    "       files and folders of OLD and NEW that PATTERN matches. --touch gives the\n"
    "       copied files the current time instead of NEW's. --delta ships changed\n"
    "       files as deltas against OLD where smaller. Every patch gets update.sum,\n"
    "       the manifest the installer checks every file against.\n"
    "check  reports what the installer would refuse or do otherwise than meant,\n"
    "       as update.lst:LINE: error|warning: TEXT; files that do not match the\n"
    "       manifest; with --old, deltas that do not apply to OLD.\n"
    "plan   tells, without writing, what the installer would do with each file:\n"
    "       new, new-folder, replace, ask or fail, then a summary; --old flags\n"
    "       installed files that match neither OLD nor the patch, --new installed\n"
    "       files that NEW lacks; deltas are marked, and one the installed file\n"
    "       does not take fails. Exit 1 when a file would fail.\n"
    "--strict  warnings fail the command too (exit 1)\n"
    "--json    one JSON object per line on standard output for every finding,\n"
    "          file, plan line and summary\n"
    "\n"
    "exit status: 0 done, 1 the work failed or found errors, 64 usage error\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return patchtool::kUsage;
  }
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "make") return patchtool::Make(args);
  if (command == "check") return patchtool::Check(args);
  if (command == "plan") return patchtool::Plan(args);
  // "/?" as Windows console programs take it.
  if (command == "--help" || command == "-h" || command == "help" || command == "/?") {
    std::fputs(kUsage, stdout);
    return patchtool::kOk;
  }
  if (command == "--version") {
    std::puts("patchtool " VX_VERSION);
    return patchtool::kOk;
  }
  std::fprintf(stderr, "patchtool: unknown command \"%s\" (try patchtool --help)\n",
               command.c_str());
  return patchtool::kUsage;
}
