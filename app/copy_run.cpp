#include "app/copy_run.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "app/checked_copy.h"
#include "app/update_list.h"
#include "platform/dialog.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace {

const char kConfirmText[] =
    "パッチ元ディレクトリ  : %s\nインストール先ディレクトリ: %s\nこの情報は正しいですか？";
const char kConfirmCaption[] = "確認";
const char kMissingText[] = "%sが存在しないか使用中です\n中断します";
const char kFailedCaption[] = "失敗";
const char kCreateFolderText[] = "更新先のフォルダがありません。作成してもいいですか？\n%s";
const char kCreateFolderCaption[] = "フォルダの作成";
const char kFolderFailedText[] = "フォルダを作成できません";
const char kOverwriteText[] =
    "更新先のファイルはアップデートファイルと同じか新しいです\n上書きしますか？";
const char kOverwriteCaption[] = "上書き確認";
const char kCopyFailedText[] = "%sのコピーが失敗しました";
const char kAbortText[] = "ファイルコピー中にエラーが発生しました\n中断しますか？";
const char kAbortCaption[] = "中断確認";

CopyRunObserver* g_observer = nullptr;
// The manifest of the run's patch folder, while RunUpdate runs.
const PatchManifest* g_manifest = nullptr;

// How often one file is decided again when other programs keep changing it
// between the probes and the copy.
constexpr int kDecisionsPerFile = 4;

bool IsLead(char c) { return platform::IsLeadByte(static_cast<unsigned char>(c)); }

// Index of the last byte of text[0, length) that is a backslash standing as
// a character of its own (never the second byte of a double-byte character);
// -1 when there is none.
int32_t LastBackslash(const char* text, int32_t length) {
  // Text of single-byte characters only (no byte is 0x80 or more) can be
  // searched from its end.
  unsigned char high = 0;
  for (int32_t i = 0; i < length; ++i) high |= static_cast<unsigned char>(text[i]);
  if (high < 0x80) {
    for (int32_t i = length - 1; i >= 0; --i) {
      if (text[i] == '\\') return i;
    }
    return -1;
  }
  int32_t last = -1;
  for (int32_t i = 0; i < length; ++i) {
    if (IsLead(text[i]) && i + 1 < length) {
      ++i;
    } else if (text[i] == '\\') {
      last = i;
    }
  }
  return last;
}

// The same for a string, read without taking a private copy of its buffer.
bool EndsWithBackslash(const CVxString& text) {
  int32_t length = text.GetLength();
  // Only a text whose last byte is a backslash's needs the walk from the start.
  if (length == 0 || text.GetAt(length - 1) != '\\') return false;
  bool last = false;
  for (int32_t i = 0; i < length; ++i) {
    if (IsLead(text.GetAt(i)) && i + 1 < length) {
      ++i;
      last = false;
    } else {
      last = text.GetAt(i) == '\\';
    }
  }
  return last;
}

void DropTrailingBackslash(CVxString& folder) {
  if (!EndsWithBackslash(folder)) return;
  int32_t length = folder.GetLength();
  folder.GetBuffer()[length - 1] = '\0';
  folder.GetLength();  // stores the new length
}

// The folder part of a pattern, of any length.
std::string PatternFolderText(const char* pattern) {
  if (pattern == nullptr) return std::string();
  const char* p = pattern;
  if (p[0] != '\0' && !IsLead(p[0]) && p[1] == ':') p += 2;  // a drive
  size_t end = 0;
  size_t length = std::strlen(p);
  for (size_t i = 0; i < length; ++i) {
    if (IsLead(p[i]) && i + 1 < length) {
      ++i;
    } else if (p[i] == '\\' || p[i] == '/') {
      end = i + 1;
    }
  }
  std::string folder(p, end);
  // Written with `/` or `\`, a folder part is the same relative path.
  for (size_t i = 0; i < folder.size(); ++i) {
    if (IsLead(folder[i])) {
      ++i;
    } else if (folder[i] == '/') {
      folder[i] = '\\';
    }
  }
  return folder;
}

// Folder, `\` and name as JoinPath joins them, of any length.
std::string JoinText(const char* folder, const char* name) {
  std::string head = folder != nullptr ? folder : "";
  if (!head.empty() && LastBackslash(head.c_str(), static_cast<int32_t>(head.size())) ==
                           static_cast<int32_t>(head.size()) - 1) {
    head.pop_back();
  }
  const char* tail = name != nullptr ? name : "";
  if (tail[0] == '\\') ++tail;
  return head.empty() ? std::string(tail) : head + "\\" + tail;
}

// Makes *path folder, `\` and relative, as they stand.
void Concatenate(CVxString& folder, const char* relative, CVxString* path) {
  size_t head = static_cast<size_t>(folder.GetLength());
  size_t tail = std::strlen(relative);
  path->Reserve(static_cast<int32_t>(head + 1 + tail));
  char* out = path->GetBuffer();
  std::memcpy(out, folder.GetBuffer(), head);
  out[head] = '\\';
  std::memcpy(out + head + 1, relative, tail + 1);
  path->GetLength();  // stores the new length
}

// Shows a failure message that names a path, cut at a character boundary so
// that the whole text fits the formatting area.
void ShowNamedFailure(const char* format, const char* path) {
  size_t room = static_cast<size_t>(platform::kFormatAreaSize - 1) - (std::strlen(format) - 2);
  std::string shown;
  for (size_t i = 0; path[i] != '\0';) {
    size_t step = IsLead(path[i]) && path[i + 1] != '\0' ? 2 : 1;
    if (shown.size() + step > room) break;
    shown.append(path + i, step);
    i += step;
  }
  CVxString text;
  text.Format(format, shown.c_str());
  platform::ShowMessage(text.GetBuffer(), kFailedCaption, platform::kStyleError);
}

// folder + `\` + relative fits a path area.
bool FitsPathArea(const CVxString& folder, const char* relative) {
  return static_cast<size_t>(folder.GetLength()) + 1 + std::strlen(relative) + 1 <=
         static_cast<size_t>(kCopyPathAreaSize);
}

// The probes of DecideCopy, on the paths *decision holds: the source and the
// destination opened, the destination's folder tested, the times compared.
void ProbeFiles(CopyDecision* decision) {
  decision->CloseProbes();
  decision->m_failure = CopyFailure::kNone;
  decision->m_folderMissing = decision->m_destinationExists = decision->m_asNewOrNewer = false;
  const char* source = decision->m_sourcePath.GetBuffer();
  const char* destination = decision->m_destinationPath.GetBuffer();

  decision->m_source = platform::OpenExisting(source, platform::Share::kNone);
  if (decision->m_source == nullptr) {
    decision->m_failure = CopyFailure::kSourceUnreadable;
    return;
  }
  // Open only when it exists and nobody holds it: one held open counts as
  // absent, and the copy then finds out whether it can be replaced.
  decision->m_destination = platform::OpenExisting(destination, platform::Share::kNone);
  decision->m_destinationExists = decision->m_destination != nullptr;

  char* folder = decision->m_folder;
  std::memcpy(folder, destination, std::strlen(destination) + 1);
  int32_t cut = LastBackslash(folder, static_cast<int32_t>(std::strlen(folder)));
  if (cut >= 0) folder[cut] = '\0';
  decision->m_folderMissing = !platform::IsDirectory(folder);

  if (decision->m_destinationExists) {
    if (!platform::LastWriteTime(decision->m_source, &decision->m_sourceTime) ||
        !platform::LastWriteTime(decision->m_destination, &decision->m_destinationTime)) {
      decision->m_failure = CopyFailure::kTimeUnreadable;
      return;
    }
    decision->m_asNewOrNewer =
        AsksBeforeOverwrite(decision->m_sourceTime, decision->m_destinationTime);
  }
}

}  // namespace

char* JoinPath(char* out, const char* folder, const char* name) {
  if (out == nullptr) return nullptr;
  // As JoinText, written straight into out.
  const char* head = folder != nullptr ? folder : "";
  size_t headLength = std::strlen(head);
  if (headLength > 0 && LastBackslash(head, static_cast<int32_t>(headLength)) ==
                            static_cast<int32_t>(headLength) - 1) {
    --headLength;
  }
  const char* tail = name != nullptr ? name : "";
  if (tail[0] == '\\') ++tail;
  size_t tailLength = std::strlen(tail);
  size_t length = headLength == 0 ? tailLength : headLength + 1 + tailLength;
  if (length + 1 > static_cast<size_t>(kCopyPathAreaSize)) {
    out[0] = '\0';
    return nullptr;
  }
  char* p = out;
  if (headLength > 0) {
    std::memcpy(p, head, headLength);
    p += headLength;
    *p++ = '\\';
  }
  std::memcpy(p, tail, tailLength + 1);
  return out;
}

bool GetPatternFolder(const char* pattern, char* out) {
  std::string folder = PatternFolderText(pattern);
  if (folder.size() + 1 > static_cast<size_t>(kCopyPathAreaSize)) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out, folder.c_str(), folder.size() + 1);
  return true;
}

CopyDecision::CopyDecision()
    : m_folder(),
      m_failure(CopyFailure::kNone),
      m_folderMissing(false),
      m_destinationExists(false),
      m_asNewOrNewer(false),
      m_sourceTime(0),
      m_destinationTime(0),
      m_source(nullptr),
      m_destination(nullptr) {}

CopyDecision::~CopyDecision() { CloseProbes(); }

void CopyDecision::CloseProbes() {
  platform::CloseFileHandle(m_source);
  platform::CloseFileHandle(m_destination);
  m_source = m_destination = nullptr;
}

bool AsksBeforeOverwrite(uint64_t sourceTime, uint64_t destinationTime) {
  return destinationTime >= sourceTime;
}

void DecideCopy(const char* relativePath, CVxString& destinationFolder, CVxString& sourceFolder,
                CopyDecision* decision) {
  decision->m_relativePath = relativePath;
  DropTrailingBackslash(sourceFolder);
  DropTrailingBackslash(destinationFolder);
  if (!FitsPathArea(sourceFolder, relativePath) || !FitsPathArea(destinationFolder, relativePath)) {
    decision->m_failure = CopyFailure::kPathTooLong;
    decision->m_sourcePath = JoinText(sourceFolder.GetBuffer(), relativePath).c_str();
    decision->m_destinationPath = JoinText(destinationFolder.GetBuffer(), relativePath).c_str();
    return;
  }
  Concatenate(sourceFolder, relativePath, &decision->m_sourcePath);
  Concatenate(destinationFolder, relativePath, &decision->m_destinationPath);
  ProbeFiles(decision);
}

bool CarryOutCopy(CopyDecision* decision) {
  const char* relativePath = decision->m_relativePath.c_str();
  for (int decided = 1;; ++decided) {
    if (decision->m_failure == CopyFailure::kPathTooLong) {
      ShowNamedFailure(kCopyFailedText, relativePath);
      return false;
    }
    if (decision->m_failure == CopyFailure::kSourceUnreadable) {
      ShowNamedFailure(kMissingText, relativePath);
      return false;
    }
    const char* source = decision->m_sourcePath.GetBuffer();
    const char* destination = decision->m_destinationPath.GetBuffer();
    if (decision->m_folderMissing) {
      CVxString text;
      text.Format(kCreateFolderText, decision->m_folder);
      if (platform::ShowMessage(text.GetBuffer(), kCreateFolderCaption, platform::kStyleQuestion) !=
          platform::kButtonOk) {
        return false;
      }
      if (!platform::CreateFoldersOf(destination)) {
        platform::ShowMessage(kFolderFailedText, kFailedCaption, platform::kStyleError);
        return false;
      }
    }
    if (decision->m_failure == CopyFailure::kTimeUnreadable) return false;
    if (decision->m_asNewOrNewer &&
        platform::ShowMessage(kOverwriteText, kOverwriteCaption, platform::kStyleQuestion) !=
            platform::kButtonOk) {
      return false;
    }

    // A manifest that can't be trusted: the download is damaged, and no
    // file of it is copied.
    if (g_manifest != nullptr && g_manifest->Refuses()) {
      ShowNamedFailure(kCopyFailedText, relativePath);
      return false;
    }
    // The copy takes over the source opened by the probe instead of opening it again.
    platform::FileHandle openSource = decision->m_source;
    decision->m_source = nullptr;
    decision->CloseProbes();
    if (g_manifest != nullptr ? g_manifest->Copy(relativePath, source, destination, openSource)
                              : platform::CopyOver(source, destination, openSource)) {
      platform::SetNormalAttributes(destination);
      return true;
    }
    // Another program replaced the destination or its folder after the
    // probes, and nothing was written: the file is probed and decided again,
    // with the questions that the new state calls for.
    if (!platform::CopyMetAChange() || decided >= kDecisionsPerFile) {
      ShowNamedFailure(kCopyFailedText, relativePath);
      return false;
    }
    ProbeFiles(decision);
  }
}

bool CopyUpdateFile(const char* relativePath, CVxString& destinationFolder,
                    CVxString& sourceFolder) {
  CopyDecision decision;
  DecideCopy(relativePath, destinationFolder, sourceFolder, &decision);
  return CarryOutCopy(&decision);
}

bool ReadSourceFolder(CVxString* folder) {
  folder->Reserve(kCopyPathAreaSize);
  uint32_t length = platform::WorkingDirectory(folder->GetBuffer(), kCopyPathAreaSize);
  // A current directory that does not fit its area is shown whole, but no
  // file is copied from it.
  bool usable = length > 0 && length < static_cast<uint32_t>(kCopyPathAreaSize);
  if (length >= static_cast<uint32_t>(kCopyPathAreaSize)) {
    folder->Reserve(static_cast<int32_t>(length));
    if (platform::WorkingDirectory(folder->GetBuffer(), length + 1) > length) folder->Empty();
  }
  folder->GetLength();
  return usable;
}

bool ForEachMatchedFile(const char* installDir, const std::function<bool(MatchedFile&)>& visit) {
  for (const UpdateEntry& rule : UpdateList) {
    CVxString destinationFolder(installDir);
    destinationFolder += rule.m_destination;
    CVxString pattern(rule.m_source);
    const char* patternText = pattern.GetBuffer();
    char folder[kCopyPathAreaSize];
    bool folderFits = GetPatternFolder(patternText, folder);
    const std::string wholeFolder = PatternFolderText(patternText);

    platform::FoundEntry entry;
    // Only folders are told apart: each file's own probe examines it.
    platform::SearchHandle search =
        platform::StartSearch(patternText, &entry, platform::SearchDetail::kKindOnly);
    if (search == nullptr) continue;
    do {
      if (entry.m_attributes & platform::kAttributeDirectory) continue;
      char relative[kCopyPathAreaSize];
      MatchedFile file;
      file.m_rule = &rule;
      file.m_relativePath =
          folderFits && JoinPath(relative, folder, entry.m_name) != nullptr ? relative : nullptr;
      file.m_wholePath = JoinText(wholeFolder.c_str(), entry.m_name);
      file.m_destinationFolder = &destinationFolder;
      if (!visit(file)) {
        platform::EndSearch(search);
        return false;
      }
    } while (platform::ContinueSearch(search, &entry));
    platform::EndSearch(search);
  }
  return true;
}

void DecideMatchedFile(MatchedFile& file, bool sourceUsable, CVxString& sourceFolder,
                       CopyDecision* decision) {
  if (sourceUsable && file.m_relativePath != nullptr) {
    DecideCopy(file.m_relativePath, *file.m_destinationFolder, sourceFolder, decision);
    return;
  }
  decision->m_relativePath = file.m_wholePath;
  decision->m_failure = CopyFailure::kPathTooLong;
  decision->m_sourcePath = JoinText(sourceFolder.GetBuffer(), file.m_wholePath.c_str()).c_str();
  decision->m_destinationPath =
      JoinText(file.m_destinationFolder->GetBuffer(), file.m_wholePath.c_str()).c_str();
}

CopyRunObserver* SetCopyRunObserver(CopyRunObserver* observer) {
  CopyRunObserver* previous = g_observer;
  g_observer = observer;
  return previous;
}

bool RunUpdate() {
  CVxString sourceFolder;
  bool sourceUsable = ReadSourceFolder(&sourceFolder);

  char installDir[sizeof(UpdateSettings.m_installDir) + 1] = {};
  std::memcpy(installDir, UpdateSettings.m_installDir, sizeof(UpdateSettings.m_installDir));

  CVxString text;
  text.Format(kConfirmText, sourceFolder.GetBuffer(), installDir);
  if (platform::ShowMessage(text.GetBuffer(), kConfirmCaption, platform::kStyleYesNo) !=
      platform::kButtonYes) {
    return false;
  }

  // With a manifest beside the list, every file it lists is checked as it
  // is copied.
  PatchManifest manifest;
  manifest.Load();
  g_manifest = &manifest;
  struct Forget {
    ~Forget() { g_manifest = nullptr; }
  } forget;

  if (g_observer != nullptr) g_observer->RunStarting(installDir);
  // Replaced files may wait for their move until a batch of them is on
  // disk; all are in place once the copies are flushed below.
  platform::BatchReplacingMoves(true);
  bool walked = ForEachMatchedFile(installDir, [&](MatchedFile& file) {
    CopyDecision decision;
    DecideMatchedFile(file, sourceUsable, sourceFolder, &decision);
    if (g_observer != nullptr) g_observer->FileStarting(file, decision);
    bool copied = CarryOutCopy(&decision);
    if (g_observer != nullptr) g_observer->FileDone(copied);
    // Stop when the user chooses to abort after a failed file.
    return copied || platform::ShowMessage(kAbortText, kAbortCaption, platform::kStyleYesNo) !=
                         platform::kButtonYes;
  });
  // What was copied is on disk before the run says it is done; when the
  // system reports that a write did not get there, the run ends as a failed
  // one, without the final message.
  if (!platform::FlushCopies()) {
    ShowNamedFailure(kCopyFailedText, installDir);
    return false;
  }
  return walked;
}
