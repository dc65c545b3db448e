// patchtool plan: what the installer would do with a patch folder and an
// installation, decided by the installer's own copy run (its search, path
// joining, probes and time comparison) without asking or writing anything.
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/copy_run.h"
#include "app/update_list.h"
#include "platform/fs.h"
#include "tools/patchtool/patchtool.h"

namespace patchtool {
namespace {

// Every folder of a path up to each of its separators, and the path itself,
// folded: what creating the folders of that path would leave existing.
std::vector<std::string> FolderChain(const std::string& folder) {
  std::vector<std::string> chain;
  std::string prefix;
  for (const std::string& c : Characters(folder)) {
    if ((c == "\\" || c == "/") && !prefix.empty()) chain.push_back(FoldCase(prefix));
    prefix += c;
  }
  chain.push_back(FoldCase(prefix));
  return chain;
}

// What the plan tells of one file, and why a copy would fail.
struct Outcome {
  const char* m_what;
  std::string m_why;
};

// The run changes the installation as it goes: a folder it creates is there
// for the files after it, and a file it copied is there, with the patch
// file's time, for a later rule that writes it again. The plan keeps track
// of both, since it writes nothing.
class Simulation {
 public:
  Outcome Judge(const CopyDecision& d) {
    switch (d.m_failure) {
      case CopyFailure::kPathTooLong:
        return {"fail", "a path is longer than the installer's 259 bytes"};
      case CopyFailure::kSourceUnreadable:
        return {"fail", "the patch's file is missing or in use"};
      case CopyFailure::kTimeUnreadable:
        return {"fail", "a time stamp can't be read"};
      case CopyFailure::kNone:
        break;
    }
    std::string path;
    for (int32_t i = 0; i < d.m_destinationPath.GetLength(); ++i)
      path += d.m_destinationPath.GetAt(i);
    bool folderMissing = d.m_folderMissing && m_created.count(FoldCase(d.m_folder)) == 0;
    bool exists = d.m_destinationExists;
    bool asks = d.m_asNewOrNewer;
    uint64_t sourceTime = d.m_sourceTime;
    platform::LastWriteTime(d.m_source, &sourceTime);
    auto copied = m_copied.find(FoldCase(path));
    const bool copiedBefore = copied != m_copied.end();
    if (copiedBefore) {
      exists = true;
      asks = AsksBeforeOverwrite(sourceTime, copied->second);
    }
    if (d.m_folderMissing) {
      for (const std::string& f : FolderChain(d.m_folder)) m_created.insert(f);
    }
    // What the copy itself would meet: found out by the installer only when
    // the copy fails.
    if (platform::IsDirectory(path.c_str())) return {"fail", "a folder of that name is in the way"};
    if (exists && !copiedBefore) {
      platform::FoundEntry entry;
      platform::SearchHandle search = platform::StartSearch(path.c_str(), &entry);
      bool readOnly =
          search != nullptr &&
          (entry.m_attributes & (platform::kAttributeReadOnly | platform::kAttributeHidden));
      platform::EndSearch(search);
      if (readOnly) return {"fail", "the installed file is read-only or hidden"};
    }
    m_copied[FoldCase(path)] = sourceTime;
    if (folderMissing) return {"new-folder", ""};
    if (asks) return {"ask", ""};
    return {exists ? "replace" : "new", ""};
  }

 private:
  std::set<std::string> m_created;
  std::map<std::string, uint64_t> m_copied;
};

}  // namespace

int Plan(const std::vector<std::string>& args) {
  if (args.size() != 2) {
    Error("usage: patchtool plan PATCH INSTALLDIR");
    return kUsage;
  }
  std::string installLocal;
  std::string install;
  if (!AbsolutePath(args[1], &installLocal) || !ToSystemText(installLocal, &install)) {
    std::fprintf(stderr, "patchtool: %s: the path has no code page 932 form\n", args[1].c_str());
    return kFailed;
  }
  if (!platform::IsDirectory(install.c_str())) {
    Error(install + ": no such folder");
    return kFailed;
  }
  if (install.size() + 1 > sizeof(UpdateSettings.m_installDir)) {
    Error(install + ": longer than the installer's 259 bytes for the install folder");
    return kFailed;
  }
  if (!ChangeDirectory(args[0])) {
    std::fprintf(stderr, "patchtool: %s: no such folder\n", args[0].c_str());
    return kFailed;
  }
  if (!ReadUpdateList(kListName)) {
    Error("update.lst: the installer can't read it or refuses it (patchtool check tells why)");
    return kFailed;
  }
  std::memset(UpdateSettings.m_installDir, 0, sizeof(UpdateSettings.m_installDir));
  std::memcpy(UpdateSettings.m_installDir, install.c_str(), install.size());

  CVxString sourceFolder;
  bool sourceUsable = ReadSourceFolder(&sourceFolder);
  std::map<std::string, int> counts;
  Simulation simulation;
  int files = 0;
  ForEachMatchedFile(UpdateSettings.m_installDir, [&](MatchedFile& file) {
    CopyDecision decision;
    DecideMatchedFile(file, sourceUsable, sourceFolder, &decision);
    Outcome outcome = simulation.Judge(decision);
    std::string line = std::string(outcome.m_what) + "\t" + decision.m_relativePath + "\t" +
                       decision.m_destinationPath.GetBuffer();
    if (!outcome.m_why.empty()) line += "\t" + outcome.m_why;
    PrintLine(line);
    ++counts[outcome.m_what];
    ++files;
    return true;
  });
  std::string summary = "# " + std::to_string(files) + (files == 1 ? " file" : " files");
  const char* order[] = {"new", "new-folder", "replace", "ask", "fail"};
  for (const char* what : order) summary += ", " + std::to_string(counts[what]) + " " + what;
  PrintLine(summary);
  return counts["fail"] > 0 ? kFailed : kOk;
}

}  // namespace patchtool
