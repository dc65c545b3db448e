// patchtool make: compares two builds of the game by content and writes a
// patch folder with the new and changed files and an update.lst whose rules
// copy exactly those files into their places. Everything that would make
// the patch fail on players' installations is found before anything is
// written; the folder is made under another name beside OUT and takes its
// name only once it is whole and checked.
#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/copy_run.h"
#include "app/update_list.h"
#include "tools/patchtool/make_parts.h"
#include "tools/patchtool/patchtool.h"
#include "tools/patchtool/summary.h"

#ifdef _WIN32
#include <process.h>
#define VX_PROCESS_ID _getpid()
#else
#include <unistd.h>
#define VX_PROCESS_ID ::getpid()
#endif

namespace patchtool {
namespace {

// How much newer than OLD's copy a changed file must be to stay newer after
// a zip that stores local times is unpacked in another time zone (UTC-12 to
// UTC+14), with the zip's 2-second steps.
constexpr uint64_t kZipTimeSlack = (26ULL * 3600 + 2) * 10000000ULL;

// One file of the patch.
struct PatchFile {
  const TreeEntry* m_new;
  const TreeEntry* m_old;  // nullptr for a new file
};

// The ancestors of a relative path: "a", "a\b" for "a\b\c".
std::vector<std::string> Ancestors(const std::string& path) {
  std::vector<std::string> found;
  std::string prefix;
  for (const std::string& c : Characters(path)) {
    if (c == "\\") found.push_back(prefix);
    prefix += c;
  }
  return found;
}

std::string DaysAndHours(uint64_t fileTime) {
  uint64_t minutes = fileTime / 600000000ULL;
  if (minutes < 120) return std::to_string(minutes) + " minutes";
  return std::to_string(minutes / 60) + " hours";
}

}  // namespace

int Make(const std::vector<std::string>& arguments) {
  std::vector<std::string> args = arguments;
  bool json = false;
  bool strict = false;
  TakeOutputOptions(&args, &json, &strict);
  MakeOptions options;
  if (!ParseMakeOptions(args, &options)) return kUsage;
  Reporter r(json, strict);

  std::vector<std::string> values;
  std::vector<bool> present;
  GatherSettings(options, r, &values, &present);
  std::string installer = ChooseInstaller(options, r);

  const std::string& out = options.paths[2];
  if (LocalExists(out) && !(IsLocalFolder(out) && IsEmptyLocalFolder(out))) {
    r.Error("out-not-empty", "OUT exists and is not an empty folder: nothing is written there");
  }

  // Both trees, without what --exclude leaves out.
  std::vector<std::string> excludes = options.excludes;
  auto skip = [&excludes](const std::string& path) { return Excluded(excludes, path); };
  std::vector<TreeEntry> oldEntries;
  std::vector<TreeEntry> newEntries;
  std::string error;
  for (int i = 0; i < 2; ++i) {
    if (!WalkTree(options.paths[i], skip, i == 0 ? &oldEntries : &newEntries, &error)) {
      r.Error("no-folder", std::string(i == 0 ? "OLD: " : "NEW: ") + std::string("no such folder"));
      return kFailed;
    }
  }

  // What NEW holds that can't go into a patch, or not as the author meant.
  std::map<std::string, const TreeEntry*> newByKey;
  for (const TreeEntry& e : newEntries) {
    if (!e.m_problem.empty()) {
      r.Error("unusable", e.m_path + ": " + e.m_problem + " (--exclude leaves it out)", e.m_path);
      continue;
    }
    if (!e.m_outsideLink.empty()) {
      std::string target;
      if (!ToSystemText(e.m_outsideLink, &target)) target = "a place outside NEW";
      r.Warn("link-outside",
             e.m_path + " is a link to " + target +
                 ", outside NEW: what it leads to goes into the patch",
             e.m_path);
    }
    auto [at, fresh] = newByKey.emplace(FoldCase(e.m_path), &e);
    if (!fresh) {
      r.Error("one-name",
              at->second->m_path + " and " + e.m_path +
                  " are one name on Windows (letters that differ only in case): players would "
                  "get only one of them",
              e.m_path);
    }
  }
  std::map<std::string, const TreeEntry*> oldFiles;
  std::set<std::string> oldFolders;
  for (const TreeEntry& e : oldEntries) {
    if (!e.m_problem.empty()) continue;
    if (e.m_kind == EntryKind::kFolder) {
      oldFolders.insert(FoldCase(e.m_path));
    } else if (e.m_kind == EntryKind::kFile) {
      oldFiles.emplace(FoldCase(e.m_path), &e);
    }
  }

  // The comparison, one look-up per file.
  std::vector<PatchFile> patch;
  size_t unchanged = 0;
  size_t newCount = 0;
  std::set<std::string> foldersWithFiles;
  std::set<std::string> matchedOld;
  for (const auto& [key, e] : newByKey) {
    if (e->m_kind != EntryKind::kFile) continue;
    for (const std::string& a : Ancestors(key)) foldersWithFiles.insert(a);
    auto old = oldFiles.find(key);
    if (old == oldFiles.end()) {
      patch.push_back({e, nullptr});
      ++newCount;
      continue;
    }
    matchedOld.insert(key);
    // Files of different sizes differ: no need to read them.
    bool readable = true;
    bool same = old->second->m_size == e->m_size &&
                SameLocalContents(LocalPathOf(options.paths[0], old->second->m_path),
                                  LocalPathOf(options.paths[1], e->m_path), &readable);
    if (!readable) {
      r.Error("unreadable", e->m_path + ": can't be read in OLD or NEW", e->m_path);
    } else if (same) {
      ++unchanged;
    } else {
      patch.push_back({e, old->second});
    }
  }
  std::vector<std::string> onlyInOld;
  for (const auto& [key, e] : oldFiles) {
    if (matchedOld.count(key) == 0 && newByKey.count(key) == 0) onlyInOld.push_back(e->m_path);
  }
  for (const auto& [key, e] : newByKey) {
    if (e->m_kind == EntryKind::kFolder && foldersWithFiles.count(key) == 0 &&
        oldFolders.count(key) == 0) {
      r.Warn("empty-folder", e->m_path + ": an empty folder; the installer makes no empty folder",
             e->m_path);
    }
  }

  // Each patch file as the installer will meet it on players' installations.
  std::set<std::string> shapeReported;
  for (const PatchFile& f : patch) {
    const std::string& path = f.m_new->m_path;
    std::string fault = PathFault(path);
    if (!fault.empty()) r.Error("bad-name", path + ": Windows can't hold it: " + fault, path);
    LengthVerdict length = PathLengthVerdict(path);
    if (length == LengthVerdict::kNever) {
      r.Error("too-long",
              path + ": " + std::to_string(path.size()) +
                  " bytes, too long for the installer's 259 even below a drive's root",
              path);
    } else if (length == LengthVerdict::kShortFoldersOnly) {
      r.Warn("long-path",
             path + ": " + std::to_string(path.size()) +
                 " bytes: the installer copies it only where the install and patch folders take "
                 "fewer than " +
                 std::to_string(kCopyPathLimit - path.size()) + " bytes",
             path);
    }
    for (const std::string& a : Ancestors(path)) {
      auto file = oldFiles.find(FoldCase(a));
      if (file != oldFiles.end() && shapeReported.insert(FoldCase(a)).second) {
        r.Error("file-becomes-folder",
                file->second->m_path +
                    " is a file in OLD and a folder in NEW: the installer can't make the folder "
                    "over the installed file (every player is told the folder can't be made)",
                a);
      }
    }
    if (oldFolders.count(FoldCase(path)) != 0) {
      r.Error("folder-becomes-file",
              path +
                  " is a folder in OLD and a file in NEW: the installer can't write the file over "
                  "the installed folder (every player is told the copy failed)",
              path);
    }
    if (f.m_old != nullptr && !options.touch) {
      uint64_t oldTime = f.m_old->m_time;
      uint64_t newTime = f.m_new->m_time;
      if (AsksBeforeOverwrite(newTime, oldTime)) {
        r.Warn("not-newer",
               path +
                   ": changed, but not newer than in OLD: players would be asked whether to "
                   "overwrite it (--touch gives the files the current time)",
               path);
      } else if (newTime - oldTime < kZipTimeSlack) {
        r.Warn("zip-time",
               path + ": changed, and only " + DaysAndHours(newTime - oldTime) +
                   " newer than in OLD: a zip stores local times in 2-second steps, so unpacked "
                   "in another time zone it may not be newer and players would be asked whether "
                   "to overwrite it (--touch gives the files the current time)",
               path);
      }
    }
  }
  if (patch.empty() && r.errors() == 0) {
    r.Error("nothing-to-patch",
            "NEW holds no file that OLD lacks or holds with other bytes: nothing to patch");
  }
  std::vector<std::string> files;
  for (const PatchFile& f : patch) files.push_back(f.m_new->m_path);
  std::vector<std::string> reserved = {kListName, kInstallerName, "update",
                                       delta::kManifestFileName};
  if (!onlyInOld.empty()) reserved.push_back(kRemovedListName);
  std::vector<std::string> rules;
  if (!patch.empty() && !MakeRules(files, reserved, &rules, &error)) {
    r.Error("no-rule", error);
  }
  if (!onlyInOld.empty()) {
    r.Warn("only-in-old",
           std::to_string(onlyInOld.size()) + (onlyInOld.size() == 1 ? " file is" : " files are") +
               " in OLD but not in NEW: the installer removes nothing (they are listed in " +
               kRemovedListName + ")");
  }
  if (r.Failed()) {
    Error(r.errors() > 0 ? "nothing written: the patch would fail (errors above)"
                         : "nothing written: warnings fail under --strict");
    return kFailed;
  }

  // Every file hashed for the manifest, and with --delta the deltas made.
  std::vector<ContentSource> sources;
  for (const PatchFile& f : patch) {
    sources.push_back(
        {f.m_new->m_path, LocalPathOf(options.paths[1], f.m_new->m_path),
         f.m_old == nullptr ? std::string() : LocalPathOf(options.paths[0], f.m_old->m_path)});
  }
  PatchContents contents;
  std::string failure;
  if (!MakeContents(sources, options.delta, &contents, &failure)) {
    Error(failure + "; nothing written");
    return kFailed;
  }

  // Written whole under another name, checked, then named OUT.
  std::string staging = out + ".patchtool-" + std::to_string(VX_PROCESS_ID);
  RemoveLocalTree(staging);
  WriteStaging(options, staging, files, contents, installer, values, present, rules, onlyInOld,
               &failure);
  std::string home;
  AbsolutePath(".", &home);
  std::vector<Finding> findings;
  std::vector<PlanStep> steps;
  ReachablePath stagingReach;
  ReachablePath oldReach;
  std::vector<TreeEntry> written;
  auto none = [](const std::string&) { return false; };
  if (failure.empty()) {
    WalkTree(staging, none, &written, &error);
    if (!ChangeDirectory(staging)) failure = "OUT: the folder made can't be entered";
  }
  if (failure.empty()) {
    // The deltas are tried on OLD itself, as players' installations hold it.
    bool reached = stagingReach.Reach(staging) && oldReach.Reach(options.paths[0]);
    findings = CheckCurrentFolder(reached ? oldReach.system() : std::string());
    if (reached) PlanSteps(stagingReach.system(), oldReach.system(), &steps, &error);
  }
  ChangeDirectory(home);
  for (const Finding& f : findings) {
    if (f.m_code != "no-installer") r.Report(f);
  }
  if (failure.empty() && r.Failed()) failure = "the patch made does not pass check";
  if (failure.empty() && IsLocalFolder(out)) RemoveLocalTree(out);
  if (failure.empty() && !RenameLocal(staging, out)) failure = "OUT: can't be named so";
  if (!failure.empty()) {
    RemoveLocalTree(staging);
    Error(failure + "; nothing written");
    return kFailed;
  }

  for (const PatchFile& f : patch) {
    std::string change = f.m_old == nullptr ? "new" : "changed";
    JsonObject object("file");
    object.Text("change", change, false)
        .Text("path", f.m_new->m_path)
        .Number("bytes", static_cast<int64_t>(f.m_new->m_size));
    std::string line = change + "\t" + f.m_new->m_path;
    auto made = contents.m_deltas.find(f.m_new->m_path);
    if (made != contents.m_deltas.end()) {
      line += "\tdelta of " + Grouped(made->second.size()) + " bytes";
      object.Number("delta_bytes", static_cast<int64_t>(made->second.size()));
    }
    r.Line(line, object);
  }
  for (const std::string& f : onlyInOld) {
    r.Line("only-in-old\t" + f,
           JsonObject("file").Text("change", "only-in-old", false).Text("path", f));
  }
  r.Line("# " + std::to_string(newCount) + " new, " + std::to_string(patch.size() - newCount) +
             " changed, " + std::to_string(unchanged) + " unchanged, " +
             std::to_string(onlyInOld.size()) + " only in OLD; " + std::to_string(rules.size()) +
             (rules.size() == 1 ? " rule" : " rules"),
         JsonObject("summary")
             .Number("new", static_cast<int64_t>(newCount))
             .Number("changed", static_cast<int64_t>(patch.size() - newCount))
             .Number("unchanged", static_cast<int64_t>(unchanged))
             .Number("only_in_old", static_cast<int64_t>(onlyInOld.size()))
             .Number("rules", static_cast<int64_t>(rules.size()))
             .Flag("installer", !installer.empty()));
  if (!installer.empty() && options.installer.empty()) {
    // Found beside patchtool or where the package puts it: say which.
    std::string shown;
    if (!ToSystemText(installer, &shown)) shown = kInstallerName;
    r.TextOnly("# installer: " + shown);
  }
  PrintPatchSize(r, written);
  if (options.delta) {
    uint64_t saved = contents.m_wholeBytes - contents.m_shippedBytes;
    r.Line("# deltas: " + std::to_string(contents.m_deltas.size()) +
               (contents.m_deltas.size() == 1 ? " file" : " files") + "; the patch's files take " +
               Grouped(contents.m_shippedBytes) + " bytes with deltas, " +
               Grouped(contents.m_wholeBytes) + " without (" + Grouped(saved) + " saved)",
           JsonObject("deltas")
               .Number("files", static_cast<int64_t>(contents.m_deltas.size()))
               .Number("bytes_with_deltas", static_cast<int64_t>(contents.m_shippedBytes))
               .Number("bytes_without_deltas", static_cast<int64_t>(contents.m_wholeBytes)));
  }
  int folderQuestions = 0;
  int overwriteQuestions = 0;
  for (const PlanStep& step : steps) {
    folderQuestions += step.m_folderQuestion;
    overwriteQuestions += step.m_overwriteQuestion;
  }
  r.Line(QuestionsLine("a player on OLD", folderQuestions, overwriteQuestions),
         JsonObject("questions")
             .Number("folder_questions", folderQuestions)
             .Number("overwrite_questions", overwriteQuestions));
  return r.Failed() ? kFailed : kOk;
}

}  // namespace patchtool
