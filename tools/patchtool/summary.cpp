// The patch's size and largest files, and the questions a player gets.
#include "tools/patchtool/summary.h"

#include <algorithm>
#include <cstdint>

namespace patchtool {
namespace {

constexpr size_t kLargestShown = 3;

}  // namespace

std::string Grouped(uint64_t n) {
  std::string digits = std::to_string(n);
  std::string grouped;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped.push_back(',');
    grouped.push_back(digits[i]);
  }
  return grouped;
}

void PrintPatchSize(Reporter& reporter, const std::vector<TreeEntry>& entries) {
  std::vector<const TreeEntry*> files;
  uint64_t bytes = 0;
  for (const TreeEntry& e : entries) {
    if (e.m_kind != EntryKind::kFile) continue;
    files.push_back(&e);
    bytes += e.m_size;
  }
  size_t shown = std::min(kLargestShown, files.size());
  std::partial_sort(files.begin(), files.begin() + static_cast<std::ptrdiff_t>(shown), files.end(),
                    [](const TreeEntry* a, const TreeEntry* b) {
                      return a->m_size != b->m_size ? a->m_size > b->m_size : a->m_path < b->m_path;
                    });
  std::string text = "# patch: " + std::to_string(files.size()) +
                     (files.size() == 1 ? " file, " : " files, ") + Grouped(bytes) + " bytes";
  std::string largest = "[";
  for (size_t i = 0; i < shown; ++i) {
    text.append(i == 0 ? "; largest: " : ", ");
    text.append(files[i]->m_path).append(" (").append(Grouped(files[i]->m_size)).append(")");
    largest.append(i == 0 ? "" : ",");
    largest.append(JsonObject("largest")
                       .Text("path", files[i]->m_path)
                       .Number("bytes", static_cast<int64_t>(files[i]->m_size))
                       .Render());
  }
  reporter.Line(text, JsonObject("patch")
                          .Number("files", static_cast<int64_t>(files.size()))
                          .Number("bytes", static_cast<int64_t>(bytes))
                          .Raw("largest", largest + "]"));
}

std::string QuestionsLine(const std::string& who, int folders, int overwrites) {
  return "# " + who + " is asked " + std::to_string(folders) +
         std::string(folders == 1 ? " folder question" : " folder questions") + " and " +
         std::to_string(overwrites) +
         (overwrites == 1 ? " overwrite question" : " overwrite questions");
}

}  // namespace patchtool
