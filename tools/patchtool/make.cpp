// patchtool make: compares two builds of the game by content and writes a
// patch folder with the new and changed files and an update.lst whose rules
// copy exactly those files into their places.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "app/copy_run.h"
#include "app/update_list.h"
#include "platform/fs.h"
#include "tools/patchtool/patchtool.h"

namespace patchtool {
namespace {

const char* const kKeyNames[] = {"",          "gametitle", "patchname",
                                 "mutexname", "regbase",   "reginstall"};
const char* const kOptionNames[] = {"",        "--title",   "--patch-name",
                                    "--mutex", "--regbase", "--reginstall"};

struct Options {
  std::vector<std::string> paths;                                 // OLD NEW OUT, local text
  std::vector<std::string> values = std::vector<std::string>(6);  // local text by SettingKey
  std::vector<bool> given = std::vector<bool>(6, false);
  std::string settings;
  std::string installer;
  bool touch = false;
};

// False (a usage error said) when the arguments do not make a command.
bool ParseOptions(const std::vector<std::string>& args, Options* options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--touch") {
      options->touch = true;
      continue;
    }
    if (arg.compare(0, 2, "--") != 0) {
      options->paths.push_back(arg);
      continue;
    }
    if (i + 1 >= args.size()) {
      Error(arg + " needs a value (try patchtool --help)");
      return false;
    }
    const std::string& value = args[++i];
    bool known = true;
    if (arg == "--settings") {
      options->settings = value;
    } else if (arg == "--installer") {
      options->installer = value;
    } else {
      known = false;
      for (int k = kGameTitle; k <= kRegInstall; ++k) {
        if (arg == kOptionNames[k]) {
          options->values[k] = value;
          options->given[k] = true;
          known = true;
        }
      }
    }
    if (!known) {
      Error("unknown option " + arg + " (try patchtool --help)");
      return false;
    }
  }
  if (options->paths.size() != 3) {
    Error("usage: patchtool make OLD NEW OUT [options] (try patchtool --help)");
    return false;
  }
  return true;
}

// The absolute system-text form of a local path; false (said) when none.
bool SystemPath(const std::string& local, std::string* system) {
  std::string absolute;
  if (AbsolutePath(local, &absolute) && ToSystemText(absolute, system)) {
    while (system->size() > 1 && (system->back() == '\\' || system->back() == '/')) {
      system->pop_back();
    }
    return true;
  }
  std::fprintf(stderr, "patchtool: %s: the path has no exact code page 932 form\n", local.c_str());
  return false;
}

// Every setting of the list to write, checked against what the installer
// keeps of it. False (said) when one would be refused or changed.
bool GatherSettings(const Options& options, std::vector<std::string>* values) {
  values->assign(6, "");
  if (!options.settings.empty()) {
    std::ifstream in(options.settings, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "patchtool: %s: can't be read\n", options.settings.c_str());
      return false;
    }
    *values = SettingValues(std::string(std::istreambuf_iterator<char>(in), {}));
  }
  for (int k = kGameTitle; k <= kRegInstall; ++k) {
    if (options.given[k] && !ToSystemText(options.values[k], &(*values)[k])) {
      Error(std::string(kOptionNames[k]) + ": the text has no exact code page 932 form");
      return false;
    }
  }
  const size_t capacities[] = {0,
                               sizeof(UpdateSettings.m_title),
                               sizeof(UpdateSettings.m_patchName),
                               sizeof(UpdateSettings.m_mutexName),
                               sizeof(UpdateSettings.m_regBase),
                               sizeof(UpdateSettings.m_regInstall)};
  for (int k = kGameTitle; k <= kRegInstall; ++k) {
    const std::string& v = (*values)[k];
    std::string name = kKeyNames[k];
    if (!IsSystemText(v)) {
      Error(name + " is not code page 932 text");
      return false;
    }
    if (v.find_first_of("\r\n") != std::string::npos) {
      Error(name + " holds a line break");
      return false;
    }
    if (!v.empty() &&
        (v.front() == ' ' || v.front() == '\t' || v.back() == ' ' || v.back() == '\t')) {
      Error(name + " begins or ends with blanks, which the installer drops");
      return false;
    }
    if (v.size() > capacities[k] - 1) {
      bool cut = k == kGameTitle || k == kPatchName;
      Error(name + " is " + std::to_string(v.size()) + " bytes; the installer keeps at most " +
            std::to_string(capacities[k] - 1) +
            (cut ? " (it would cut it)" : " (it would refuse the list)"));
      return false;
    }
  }
  for (int k : {kGameTitle, kRegBase, kRegInstall}) {
    if ((*values)[k].empty()) {
      Error(std::string("no ") + kKeyNames[k] + " (" + kOptionNames[k] + " or --settings): " +
            (k == kGameTitle ? "the messages would name no game"
                             : "the installer could not find the installation"));
      return false;
    }
  }
  return true;
}

// False (said) for a name that Windows can't hold, or two that it holds as one.
bool CheckNames(const std::vector<std::string>& files, const std::vector<std::string>& folders) {
  std::map<std::string, std::string> seen;
  for (const std::vector<std::string>* list : {&folders, &files}) {
    for (const std::string& path : *list) {
      for (const std::string& c : Characters(path)) {
        unsigned char b = static_cast<unsigned char>(c[0]);
        if (c.size() == 1 &&
            ((b < 0x20 && b != '\t') || std::string("*?:\"<>|").find(c) != std::string::npos)) {
          Error(path + ": Windows can't hold this name");
          return false;
        }
      }
      auto [at, fresh] = seen.emplace(FoldCase(path), path);
      if (!fresh) {
        Error(at->second + " and " + path +
              " differ only in letter case: Windows holds them as one");
        return false;
      }
    }
  }
  return true;
}

bool WriteList(const std::string& path, const std::vector<std::string>& values,
               const std::vector<std::string>& rules) {
  std::string text = "# made by patchtool " VX_VERSION "\r\n";
  for (int k = kGameTitle; k <= kRegInstall; ++k) {
    if (!values[k].empty()) text += std::string(kKeyNames[k]) + " = " + values[k] + "\r\n";
  }
  text += "\r\n";
  for (const std::string& rule : rules) text += rule + "\r\n";
  std::ofstream out(path, std::ios::binary);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

int Make(const std::vector<std::string>& args) {
  Options options;
  if (!ParseOptions(args, &options)) return kUsage;
  std::string oldRoot, newRoot, outRoot, installer;
  if (!SystemPath(options.paths[0], &oldRoot) || !SystemPath(options.paths[1], &newRoot) ||
      !SystemPath(options.paths[2], &outRoot) ||
      (!options.installer.empty() && !SystemPath(options.installer, &installer))) {
    return kFailed;
  }
  for (const std::string* root : {&oldRoot, &newRoot}) {
    if (!platform::IsDirectory(root->c_str())) {
      Error(*root + ": no such folder");
      return kFailed;
    }
  }
  std::vector<std::string> outFiles, outFolders;
  std::string error;
  uint64_t time = 0;
  if (FileWriteTime(outRoot, &time) || (platform::IsDirectory(outRoot.c_str()) &&
                                        (!ListFiles(outRoot, &outFiles, &outFolders, &error) ||
                                         !outFiles.empty() || !outFolders.empty()))) {
    Error(outRoot + ": exists and is not an empty folder");
    return kFailed;
  }
  if (!installer.empty() && !FileWriteTime(installer, &time)) {
    Error(installer + ": can't be read");
    return kFailed;
  }
  std::vector<std::string> values;
  if (!GatherSettings(options, &values)) return kFailed;

  std::string unconvertible;
  if (FindUnconvertibleName(options.paths[1], &unconvertible)) {
    std::fprintf(stderr, "patchtool: %s: the name has no exact code page 932 form\n",
                 unconvertible.c_str());
    return kFailed;
  }
  std::vector<std::string> oldFiles, newFiles, newFolders;
  if (!ListFiles(oldRoot, &oldFiles, nullptr, &error) ||
      !ListFiles(newRoot, &newFiles, &newFolders, &error)) {
    Error(error);
    return kFailed;
  }
  if (!CheckNames(newFiles, newFolders)) return kFailed;

  std::map<std::string, std::string> inOld;
  for (const std::string& f : oldFiles) inOld[FoldCase(f)] = f;
  std::vector<std::string> patchFiles, reports, warnings;
  size_t unchanged = 0;
  size_t newCount = 0;
  for (const std::string& f : newFiles) {
    auto old = inOld.find(FoldCase(f));
    if (old == inOld.end()) {
      patchFiles.push_back(f);
      reports.push_back("new\t" + f);
      ++newCount;
      continue;
    }
    std::string oldPath = oldRoot + "\\" + old->second;
    std::string newPath = newRoot + "\\" + f;
    bool readable = false;
    bool same = SameContents(oldPath, newPath, &readable);
    inOld.erase(old);
    if (!readable) {
      Error(f + ": can't be read in OLD or NEW");
      return kFailed;
    }
    if (same) {
      ++unchanged;
      continue;
    }
    patchFiles.push_back(f);
    reports.push_back("changed\t" + f);
    uint64_t oldTime = 0, newTime = 0;
    if (!options.touch && FileWriteTime(oldPath, &oldTime) && FileWriteTime(newPath, &newTime) &&
        AsksBeforeOverwrite(newTime, oldTime)) {
      warnings.push_back(f +
                         ": changed, but not newer than in OLD: players would be asked "
                         "whether to overwrite it (--touch gives the files the current time)");
    }
  }
  for (const auto& [folded, f] : inOld) {
    warnings.push_back(f + ": in OLD but not in NEW; the installer removes nothing");
  }
  if (patchFiles.empty()) {
    Error("NEW holds no file that OLD lacks or holds with other bytes: nothing to patch");
    return kFailed;
  }
  std::vector<std::string> rules;
  if (!MakeRules(patchFiles, &rules, &error)) {
    Error(error);
    return kFailed;
  }

  for (const std::string& f : patchFiles) {
    std::string destination = outRoot + "\\" + f;
    if (!platform::CreateFoldersOf(destination.c_str()) ||
        !platform::CopyOver((newRoot + "\\" + f).c_str(), destination.c_str()) ||
        (options.touch && !TouchNow(destination))) {
      Error(destination + ": can't be written");
      return kFailed;
    }
  }
  std::string installerCopy = outRoot + "\\" + kInstallerName;
  if (!platform::CreateFoldersOf(installerCopy.c_str()) ||
      (!installer.empty() && !platform::CopyOver(installer.c_str(), installerCopy.c_str()))) {
    Error(installerCopy + ": can't be written");
    return kFailed;
  }
  std::string listLocal = options.paths[2] + "/" + kListName;
  if (!WriteList(listLocal, values, rules)) {
    Error(outRoot + "\\" + kListName + ": can't be written");
    return kFailed;
  }

  for (const std::string& line : reports) PrintLine(line);
  for (const std::string& w : warnings) Warn(w);
  PrintLine(
      "# " + std::to_string(newCount) + " new, " + std::to_string(patchFiles.size() - newCount) +
      " changed, " + std::to_string(unchanged) + " unchanged, " + std::to_string(inOld.size()) +
      " only in OLD; " + std::to_string(rules.size()) + (rules.size() == 1 ? " rule" : " rules"));

  if (!ChangeDirectory(options.paths[2])) {
    Error(outRoot + ": can't be entered");
    return kFailed;
  }
  std::vector<Finding> findings = CheckCurrentFolder();
  if (!findings.empty()) {
    PrintFindings(findings);
    Error("the patch made does not pass check");
    return kFailed;
  }
  return kOk;
}

}  // namespace patchtool
