// patchtool plan: what the installer would do with a patch folder and an
// installation, decided by the installer's own copy run (its search, path
// joining, probes and time comparison) without asking or writing anything.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/copy_run.h"
#include "app/update_list.h"
#include "platform/fs.h"
#include "tools/patchtool/contents.h"
#include "tools/patchtool/patchtool.h"
#include "tools/patchtool/summary.h"

namespace patchtool {
namespace {

// Every folder of a path up to each of its separators, and the path itself.
std::vector<std::string> FolderChain(const std::string& folder) {
  std::vector<std::string> chain;
  std::string prefix;
  for (const std::string& c : Characters(folder)) {
    if ((c == "\\" || c == "/") && !prefix.empty()) chain.push_back(prefix);
    prefix += c;
  }
  chain.push_back(prefix);
  return chain;
}

// The attributes of what a path names, through the installer's search;
// false when nothing is there.
bool Attributes(const std::string& path, uint32_t* attributes) {
  platform::FoundEntry entry;
  platform::SearchHandle search = platform::StartSearch(path.c_str(), &entry);
  if (search == nullptr) return false;
  *attributes = entry.m_attributes;
  platform::EndSearch(search);
  return true;
}

// The run changes the installation as it goes: a folder it creates is there
// for the files after it, and a file it copied is there, with the patch
// file's time, for a later rule that writes it again. The plan keeps track
// of both, since it writes nothing.
class Simulation {
 public:
  void Judge(const CopyDecision& d, PlanStep* step) {
    switch (d.m_failure) {
      case CopyFailure::kPathTooLong:
        return Fail(step, "a path is longer than the installer's 259 bytes");
      case CopyFailure::kSourceUnreadable:
        return Fail(step, "the patch's file is missing or in use");
      case CopyFailure::kTimeUnreadable:
        return Fail(step, "a time stamp can't be read");
      case CopyFailure::kNone:
        break;
    }
    std::string path;
    for (int32_t i = 0; i < d.m_destinationPath.GetLength(); ++i) {
      path += d.m_destinationPath.GetAt(i);
    }
    bool folderMissing = d.m_folderMissing && m_created.count(PathKey(d.m_folder)) == 0;
    bool exists = d.m_destinationExists;
    bool asks = d.m_asNewOrNewer;
    uint64_t sourceTime = d.m_sourceTime;
    platform::LastWriteTime(d.m_source, &sourceTime);
    auto copied = m_copied.find(PathKey(path));
    const bool copiedBefore = copied != m_copied.end();
    if (copiedBefore) {
      exists = true;
      asks = AsksBeforeOverwrite(sourceTime, copied->second);
    }
    if (folderMissing) {
      step->m_folderQuestion = true;
      // A file where a folder of the path should be: the folder can't be made.
      for (const std::string& f : FolderChain(d.m_folder)) {
        uint32_t attributes = 0;
        if (m_created.count(PathKey(f)) == 0 && !platform::IsDirectory(f.c_str()) &&
            Attributes(f, &attributes) && (attributes & platform::kAttributeDirectory) == 0) {
          return Fail(step,
                      "the player is asked to create its folder, then told it can't be: "
                      "a file is in the way (" +
                          f + ")");
        }
      }
      for (const std::string& f : FolderChain(d.m_folder)) m_created.insert(PathKey(f));
    }
    step->m_overwriteQuestion = asks;
    std::string first =
        asks ? "the player is asked whether to overwrite it, then the copy fails: " : "";
    // What the copy itself would meet: found out by the installer only when
    // the copy fails.
    if (platform::IsDirectory(path.c_str())) {
      return Fail(step, first + "a folder of that name is in the way");
    }
    if (exists && !copiedBefore) {
      uint32_t attributes = 0;
      if (Attributes(path, &attributes) &&
          (attributes & (platform::kAttributeReadOnly | platform::kAttributeHidden)) != 0) {
        return Fail(step, first + "the installed file is read-only or hidden");
      }
    }
    m_copied[PathKey(path)] = sourceTime;
    step->m_what = folderMissing ? "new-folder" : asks ? "ask" : exists ? "replace" : "new";
  }

 private:
  static void Fail(PlanStep* step, const std::string& why) {
    step->m_what = "fail";
    step->m_why = why;
  }

  std::set<std::string> m_created;
  std::map<std::string, uint64_t> m_copied;
};

// Files (folded relative path to entry) of a walked tree.
std::map<std::string, TreeEntry> FilesOf(const std::vector<TreeEntry>& entries) {
  std::map<std::string, TreeEntry> files;
  for (const TreeEntry& e : entries) {
    if (e.m_kind == EntryKind::kFile && e.m_problem.empty()) files.emplace(PathKey(e.m_path), e);
  }
  return files;
}

// Marks the steps whose file the manifest lists as a delta, and fails those
// whose installed file is not the one the delta was made from: the
// installer refuses them (the copy fails) and leaves the file as it is.
// With a malformed manifest, every file fails. Returns the deltas' count.
int JudgeDeltas(std::vector<PlanStep>* steps, Reporter& reporter) {
  delta::Manifest manifest;
  bool present = false;
  std::vector<Finding> findings;
  bool loaded = LoadManifest(&manifest, &present, &findings);
  for (const Finding& f : findings) reporter.Report(f);
  int deltas = 0;
  for (PlanStep& step : *steps) {
    if (present && !loaded && step.m_what != "fail") {
      step.m_what = "fail";
      step.m_why = "the manifest is malformed: the installer takes every file for damaged";
      continue;
    }
    const delta::ManifestEntry* e = loaded ? manifest.Find(step.m_relative.c_str()) : nullptr;
    if (e == nullptr || !e->isDelta) continue;
    step.m_delta = true;
    ++deltas;
    if (step.m_what == "fail") continue;
    uint64_t size = 0;
    platform::Sha256Digest digest{};
    if (!HashFile(step.m_destination, &size, &digest)) {
      step.m_what = "fail";
      step.m_why = "a delta, and the installed file it applies to is missing";
    } else if (size != e->baseSize || digest != e->baseHash) {
      step.m_what = "fail";
      step.m_why =
          "a delta, and the installed file is not the one it was made from (a player's change or "
          "another version): refused, the file is left as it is";
    }
  }
  return deltas;
}

}  // namespace

bool PlanSteps(const std::string& sourceFolder, const std::string& installFolder,
               std::vector<PlanStep>* steps, std::string* error) {
  if (installFolder.size() + 1 > sizeof(UpdateSettings.m_installDir)) {
    *error = installFolder + ": longer than the installer's 259 bytes for the install folder";
    return false;
  }
  if (!ReadUpdateList(kListName)) {
    *error = "update.lst: the installer can't read it or refuses it (patchtool check tells why)";
    return false;
  }
  std::memset(UpdateSettings.m_installDir, 0, sizeof(UpdateSettings.m_installDir));
  std::memcpy(UpdateSettings.m_installDir, installFolder.c_str(), installFolder.size());
  CVxString source(sourceFolder.c_str());
  bool sourceUsable = sourceFolder.size() < kCopyPathAreaSize;
  Simulation simulation;
  ForEachMatchedFile(UpdateSettings.m_installDir, [&](MatchedFile& file) {
    CopyDecision decision;
    DecideMatchedFile(file, sourceUsable, source, &decision);
    PlanStep step;
    simulation.Judge(decision, &step);
    step.m_relative = decision.m_relativePath;
    step.m_destination = decision.m_destinationPath.GetLength() > 0
                             ? std::string(decision.m_destinationPath.GetBuffer())
                             : std::string();
    steps->push_back(step);
    return true;
  });
  return true;
}

int Plan(const std::vector<std::string>& arguments) {
  std::vector<std::string> args = arguments;
  bool json = false;
  bool strict = false;
  TakeOutputOptions(&args, &json, &strict);
  std::string oldRoot;
  std::string newRoot;
  std::vector<std::string> paths;
  for (size_t i = 0; i < args.size(); ++i) {
    if ((args[i] == "--old" || args[i] == "--new") && i + 1 < args.size()) {
      (args[i] == "--old" ? oldRoot : newRoot) = args[i + 1];
      ++i;
    } else if (args[i].compare(0, 2, "--") == 0) {
      paths.clear();
      break;
    } else {
      paths.push_back(args[i]);
    }
  }
  if (paths.size() != 2) {
    Error("usage: patchtool plan [--old OLD] [--new NEW] [--json] [--strict] PATCH INSTALLDIR");
    return kUsage;
  }
  for (std::string* path : {&oldRoot, &newRoot, &paths[0], &paths[1]}) {
    if (!path->empty() && !AbsolutePath(*path, path)) {
      Error("the current folder can't be read");
      return kFailed;
    }
  }
  Reporter reporter(json, strict);
  ReachablePath patch;
  ReachablePath install;
  if (!patch.Reach(paths[0]) || !IsLocalFolder(paths[0])) {
    reporter.Error("no-folder", "the patch folder " + Shown(paths[0]) + " can't be reached");
    return kFailed;
  }
  if (!install.Reach(paths[1]) || !IsLocalFolder(paths[1])) {
    reporter.Error("no-folder", "the install folder can't be reached: no such folder");
    return kFailed;
  }
  std::vector<TreeEntry> oldEntries;
  std::vector<TreeEntry> newEntries;
  std::vector<TreeEntry> installed;
  std::vector<TreeEntry> patchEntries;
  std::string error;
  auto none = [](const std::string&) { return false; };
  if ((!oldRoot.empty() && !WalkTree(oldRoot, none, &oldEntries, &error)) ||
      (!newRoot.empty() && !WalkTree(newRoot, none, &newEntries, &error)) ||
      ((!oldRoot.empty() || !newRoot.empty()) && !WalkTree(paths[1], none, &installed, &error)) ||
      !WalkTree(paths[0], none, &patchEntries, &error)) {
    std::string system;
    ToSystemText(error, &system);
    reporter.Error("no-folder", system);
    return kFailed;
  }
  if (!ChangeDirectory(paths[0])) {
    reporter.Error("no-folder", "the patch folder can't be entered");
    return kFailed;
  }
  std::vector<PlanStep> steps;
  if (!PlanSteps(patch.system(), install.system(), &steps, &error)) {
    reporter.Error("list-refused", error);
    return kFailed;
  }
  int deltas = JudgeDeltas(&steps, reporter);
  std::map<std::string, int> counts;
  int folderQuestions = 0;
  int overwriteQuestions = 0;
  std::map<std::string, std::string> written;  // installed path (folded, relative) to source
  for (const PlanStep& step : steps) {
    std::string destination = install.Shown(step.m_destination);
    std::string line = step.m_what + "\t" + Shown(step.m_relative) + "\t" + destination;
    if (!step.m_why.empty()) line += "\t" + Shown(step.m_why);
    if (step.m_why.empty() && step.m_delta) line += "\tdelta";
    JsonObject object("plan");
    object.Text("action", step.m_what, false)
        .Text("source", step.m_relative)
        .Text("destination", destination, false)
        .Flag("folder_question", step.m_folderQuestion)
        .Flag("overwrite_question", step.m_overwriteQuestion)
        .Flag("delta", step.m_delta);
    if (!step.m_why.empty()) object.Text("reason", step.m_why);
    reporter.Line(line, object, true);
    ++counts[step.m_what];
    folderQuestions += step.m_folderQuestion;
    overwriteQuestions += step.m_overwriteQuestion;
    if (step.m_destination.compare(0, install.system().size(), install.system()) == 0) {
      std::string relative = step.m_destination.substr(install.system().size());
      while (!relative.empty() && (relative[0] == '\\' || relative[0] == '/')) relative.erase(0, 1);
      written[PathKey(relative)] = step.m_relative;
    }
  }

  // Installed files against OLD and NEW.
  std::map<std::string, TreeEntry> oldFiles = FilesOf(oldEntries);
  std::map<std::string, TreeEntry> newFiles = FilesOf(newEntries);
  std::map<std::string, TreeEntry> installedFiles = FilesOf(installed);
  int differs = 0;
  int missing = 0;
  int notInNew = 0;
  auto tell = [&](const std::string& what, const std::string& relative, const std::string& why) {
    std::string line = what + "\t" + Shown(relative) + "\t" + Shown(why);
    JsonObject object("installed");
    object.Text("action", what, false).Text("path", relative).Text("reason", why);
    reporter.Line(line, object, true);
  };
  for (const auto& [key, entry] : installedFiles) {
    std::string local = LocalPathOf(paths[1], entry.m_path);
    bool readable = false;
    if (!oldRoot.empty()) {
      auto old = oldFiles.find(key);
      auto patched = written.find(key);
      auto fresh = newFiles.find(key);
      bool known =
          (old != oldFiles.end() &&
           SameLocalContents(local, LocalPathOf(oldRoot, old->second.m_path), &readable)) ||
          (patched != written.end() &&
           SameLocalContents(local, LocalPathOf(paths[0], patched->second), &readable)) ||
          (fresh != newFiles.end() &&
           SameLocalContents(local, LocalPathOf(newRoot, fresh->second.m_path), &readable));
      if (!known && (old != oldFiles.end() || patched != written.end())) {
        tell("differs", entry.m_path,
             "matches neither OLD's copy nor the patch's: a player's change or another version");
        ++differs;
      }
    }
    if (!newRoot.empty() && newFiles.count(key) == 0 && written.count(key) == 0) {
      tell("not-in-new", entry.m_path, "NEW has no such file; the installer leaves it");
      ++notInNew;
    }
  }
  if (!oldRoot.empty()) {
    for (const auto& [key, entry] : oldFiles) {
      if (installedFiles.count(key) == 0 && written.count(key) == 0) {
        tell("missing", entry.m_path,
             "OLD has it, the installation does not, and the patch brings none");
        ++missing;
      }
    }
  }

  int files = static_cast<int>(steps.size());
  std::string summary = "# " + std::to_string(files) + (files == 1 ? " file" : " files");
  JsonObject total("summary");
  total.Number("files", files);
  for (const char* what : {"new", "new-folder", "replace", "ask", "fail"}) {
    summary += ", " + std::to_string(counts[what]) + " " + what;
    total.Number(what, counts[what]);
  }
  if (deltas > 0) summary += "; " + std::to_string(deltas) + (deltas == 1 ? " delta" : " deltas");
  reporter.Line(summary, total.Number("deltas", deltas)
                             .Number("folder_questions", folderQuestions)
                             .Number("overwrite_questions", overwriteQuestions)
                             .Number("differs", differs)
                             .Number("missing", missing)
                             .Number("not_in_new", notInNew));
  reporter.TextOnly(QuestionsLine("the player", folderQuestions, overwriteQuestions));
  if (!oldRoot.empty() || !newRoot.empty()) {
    reporter.TextOnly("# " + std::to_string(differs) + " differ from OLD and the patch, " +
                      std::to_string(missing) + " missing, " + std::to_string(notInNew) +
                      " not in NEW");
  }
  PrintPatchSize(reporter, patchEntries);
  bool warned = differs + missing + notInNew > 0;
  return counts["fail"] > 0 || (strict && (warned || counts["ask"] > 0)) ? kFailed : kOk;
}

}  // namespace patchtool
