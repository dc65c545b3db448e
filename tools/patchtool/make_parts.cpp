// patchtool make's options, settings, installer, exclusions and writing.
#include "tools/patchtool/make_parts.h"

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/update_list.h"

namespace patchtool {
namespace {

const char* const kKeyNames[] = {"",          "gametitle", "patchname",
                                 "mutexname", "regbase",   "reginstall"};
const char* const kOptionNames[] = {"",        "--title",   "--patch-name",
                                    "--mutex", "--regbase", "--reginstall"};

#ifdef _WIN32
const char kSeparator[] = "\\";
#else
const char kSeparator[] = "/";
#endif

bool Absolute(const std::string& local, std::string* absolute) {
  return local.empty() || AbsolutePath(local, absolute);
}

// Whether a pattern of characters, `*` and `?` matches a name (folded).
bool Matches(const std::vector<std::string>& p, size_t i, const std::vector<std::string>& n,
             size_t j) {
  for (; i < p.size(); ++i, ++j) {
    if (p[i] == "*") {
      for (size_t k = j; k <= n.size(); ++k) {
        if (Matches(p, i + 1, n, k)) return true;
      }
      return false;
    }
    if (j >= n.size() || (p[i] != "?" && p[i] != n[j])) return false;
  }
  return j == n.size();
}

// A Windows program: an MZ head whose new-header offset leads to "PE\0\0".
bool IsWindowsProgram(const std::string& head) {
  if (head.size() < 0x40 || head.compare(0, 2, "MZ") != 0) return false;
  uint32_t at = 0;
  for (int i = 3; i >= 0; --i) at = (at << 8) | static_cast<unsigned char>(head[0x3C + i]);
  return at + 4 <= head.size() && head.compare(at, 4, std::string("PE\0\0", 4)) == 0;
}

}  // namespace

bool ParseMakeOptions(const std::vector<std::string>& args, MakeOptions* options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--touch" || arg == "--delta") {
      (arg == "--touch" ? options->touch : options->delta) = true;
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
    } else if (arg == "--exclude") {
      std::string pattern;
      if (!ToSystemText(value, &pattern) || pattern.empty()) {
        Error("--exclude " + value + ": the pattern has no code page 932 form");
        return false;
      }
      for (char& c : pattern) {
        if (c == '/') c = '\\';
      }
      options->excludes.push_back(FoldCase(pattern));
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
  for (std::string* path : {&options->paths[0], &options->paths[1], &options->paths[2],
                            &options->settings, &options->installer}) {
    if (!Absolute(*path, path)) {
      Error("the current folder can't be read");
      return false;
    }
  }
  return true;
}

void GatherSettings(const MakeOptions& options, Reporter& r, std::vector<std::string>* values,
                    std::vector<bool>* present) {
  values->assign(6, "");
  present->assign(6, false);
  if (!options.settings.empty()) {
    std::ifstream in(options.settings, std::ios::binary);
    if (!in) {
      r.Error("unreadable", "--settings: the file can't be read");
    } else {
      std::string text(std::istreambuf_iterator<char>(in), {});
      std::string code;
      std::string message;
      if (int line = TextFault(text, &code, &message); line != 0) {
        r.Error(code, "--settings, line " + std::to_string(line) + ": " + message);
      }
      *values = SettingValues(text, present);
    }
  }
  for (int k = kGameTitle; k <= kRegInstall; ++k) {
    if (!options.given[k]) continue;
    (*present)[k] = true;
    if (!ToSystemText(options.values[k], &(*values)[k])) {
      r.Error("not-code-page-932",
              std::string(kOptionNames[k]) + ": the text has no exact code page 932 form");
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
      r.Error("not-code-page-932", name + " is not code page 932 text");
    } else if (v.find_first_of("\r\n\t") != std::string::npos) {
      r.Error("control-character", name + " holds a tab or a line break, which a list line can't");
    } else if (!v.empty() && (v.front() == ' ' || v.back() == ' ')) {
      r.Error("blanks", name + " begins or ends with blanks, which the installer drops");
    } else if (v.size() > capacities[k] - 1) {
      bool cut = k == kGameTitle || k == kPatchName;
      r.Error("too-long", name + " is " + std::to_string(v.size()) +
                              " bytes; the installer keeps at most " +
                              std::to_string(capacities[k] - 1) +
                              (cut ? " (it would cut it)" : " (it would refuse the list)"));
    }
    std::string code;
    std::string fault = SettingFault(k, v, &code);
    if (!fault.empty()) r.Error(code, fault);
  }
  for (int k : {kGameTitle, kRegBase}) {
    if ((*values)[k].empty()) {
      r.Error(std::string("no-") + kKeyNames[k],
              std::string("no ") + kKeyNames[k] + " (" + kOptionNames[k] + " or --settings): " +
                  (k == kGameTitle ? "the messages would name no game"
                                   : "the installer could not find the installation"));
    }
  }
  if (!(*present)[kRegInstall]) {
    r.Error("no-reginstall",
            "no reginstall (--reginstall or --settings; --reginstall '' reads the key's default "
            "value)");
  }
}

std::string ChooseInstaller(const MakeOptions& options, Reporter& r) {
  std::string chosen = options.installer;
  if (chosen.empty()) {
    std::string here = ProgramFolder();
    std::vector<std::string> places;
    if (!here.empty()) {
      places.push_back(here + kSeparator + kInstallerName);
      places.push_back(here + kSeparator + ".." + kSeparator + "share" + kSeparator + "vxupdate" +
                       kSeparator + kInstallerName);
    }
#ifndef _WIN32
    places.push_back(std::string("/usr/share/vxupdate/") + kInstallerName);
#endif
    for (const std::string& place : places) {
      if (LocalExists(place) && !IsLocalFolder(place)) {
        chosen = place;
        break;
      }
    }
    if (chosen.empty()) {
      r.Warn("no-installer",
             "the patch will hold no installer Update.exe: players have nothing to start "
             "(--installer names the Windows installer)");
      return "";
    }
  }
  std::string head = FileHead(chosen, 4096);
  if (head.empty() || IsLocalFolder(chosen)) {
    r.Error("unreadable", "--installer: the file can't be read");
  } else if (head.compare(0, 4,
                          "\x7f"
                          "ELF") == 0) {
    r.Error("installer-kind",
            "--installer: a Linux program; the patch holds the Windows installer, named "
            "Update.exe (players on Linux run their own installed update in the patch folder)");
  } else if (!IsWindowsProgram(head)) {
    r.Error("installer-kind", "--installer: not a Windows program");
  }
  return chosen;
}

bool Excluded(const std::vector<std::string>& patterns, const std::string& path) {
  if (patterns.empty()) return false;
  std::string folded = FoldCase(path);
  std::string name = folded.substr(
      folded.find_last_of('\\') == std::string::npos ? 0 : folded.find_last_of('\\') + 1);
  std::vector<std::string> whole = Characters(folded);
  std::vector<std::string> last = Characters(name);
  for (const std::string& pattern : patterns) {
    bool hasSeparator = pattern.find('\\') != std::string::npos;
    if (Matches(Characters(pattern), 0, hasSeparator ? whole : last, 0)) return true;
  }
  return false;
}

void WriteStaging(const MakeOptions& options, const std::string& staging,
                  const std::vector<std::string>& files, const PatchContents& contents,
                  const std::string& installer, const std::vector<std::string>& values,
                  const std::vector<bool>& present, const std::vector<std::string>& rules,
                  const std::vector<std::string>& onlyInOld, std::string* failure) {
  if (!MakeLocalFolders(staging)) {
    *failure = "OUT: the folder can't be made";
    return;
  }
  for (const std::string& f : files) {
    std::string destination = LocalPathOf(staging, f);
    size_t at = destination.find_last_of(kSeparator);
    auto made = contents.m_deltas.find(f);
    std::string from = LocalPathOf(options.paths[1], f);
    if (!MakeLocalFolders(destination.substr(0, at)) ||
        !(made == contents.m_deltas.end()
              ? CopyLocalFile(from, destination, options.touch)
              : WriteLocalFileLike(destination, made->second, from, options.touch))) {
      *failure = f + ": can't be copied into OUT";
      return;
    }
  }
  if (!installer.empty() &&
      !CopyLocalFile(installer, LocalPathOf(staging, kInstallerName), false)) {
    *failure = "the installer can't be copied into OUT";
    return;
  }
  std::string text = "# made by patchtool " VX_VERSION "\r\n";
  for (int k = kGameTitle; k <= kRegInstall; ++k) {
    if (!present[k] || (values[k].empty() && k != kRegInstall)) continue;
    text += std::string(kKeyNames[k]) + (values[k].empty() ? " =" : " = " + values[k]) + "\r\n";
  }
  text += "\r\n";
  for (const std::string& rule : rules) text += rule + "\r\n";
  if (!WriteLocalFile(LocalPathOf(staging, kListName), text)) {
    *failure = "update.lst can't be written into OUT";
    return;
  }
  if (!WriteLocalFile(LocalPathOf(staging, delta::kManifestFileName),
                      delta::WriteManifest(contents.m_entries))) {
    *failure = std::string(delta::kManifestFileName) + " can't be written into OUT";
    return;
  }
  if (!onlyInOld.empty()) {
    std::string list;
    for (const std::string& f : onlyInOld) list += f + "\r\n";
    if (!WriteLocalFile(LocalPathOf(staging, kRemovedListName), list)) {
      *failure = std::string(kRemovedListName) + " can't be written into OUT";
    }
  }
}

}  // namespace patchtool
