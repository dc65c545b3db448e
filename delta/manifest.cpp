#include "delta/manifest.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "delta/delta_format.h"
#include "platform/file.h"
#include "platform/text.h"

namespace delta {
namespace {

constexpr std::string_view kHeader = "vxupdate-manifest 1";
constexpr size_t kMaxFields = 8;
constexpr size_t kMaxLine = 1024;

// The path as lookups compare it: ASCII letters in upper case (a double-byte
// character's second byte stays as it is), `/` as `\`.
std::string Folded(std::string_view path) {
  // Component by component: a rule's folder part may spell the same folder
  // with `.` or doubled separators (".\\data\\\\x.dat"), which name the same file.
  std::string out;
  std::string part;
  auto flush = [&]() {
    if (!part.empty() && part != ".") out.append(out.empty() ? "" : "\\").append(part);
    part.clear();
  };
  for (size_t i = 0; i < path.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (platform::IsLeadByte(c) && i + 1 < path.size()) {
      part.append(path.substr(i, 2));
      ++i;
    } else if (c == '/' || c == '\\') {
      flush();
    } else {
      part.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 0x20 : c));
    }
  }
  flush();
  return out;
}

// A decimal number without sign or leading zeros, at most kMaxFileSize.
bool ParseSize(std::string_view text, uint64_t* value) {
  if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > kMaxFileSize) return false;
  *value = v;
  return true;
}

bool ParseHash(std::string_view text, platform::Sha256Digest* digest) {
  return platform::ParseHexDigest(text.data(), text.size(), digest);
}

// Splits line at tabs into at most kMaxFields fields; false when it has more.
bool Split(std::string_view line, std::vector<std::string_view>* fields) {
  fields->clear();
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    if (fields->size() == kMaxFields) return false;
    fields->push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) return true;
    start = tab + 1;
  }
}

bool ParseEntry(const std::vector<std::string_view>& f, ManifestEntry* entry, std::string* why) {
  if (f[0] == "file" && f.size() == 4) {
    entry->isDelta = false;
    if (!ParseSize(f[1], &entry->size) || !ParseHash(f[2], &entry->hash)) {
      *why = "bad size or hash";
      return false;
    }
    entry->patchSize = entry->size;
    entry->patchHash = entry->hash;
    entry->path.assign(f[3]);
  } else if (f[0] == "delta" && f.size() == 8) {
    entry->isDelta = true;
    if (!ParseSize(f[1], &entry->size) || !ParseHash(f[2], &entry->hash) ||
        !ParseSize(f[3], &entry->patchSize) || !ParseHash(f[4], &entry->patchHash) ||
        !ParseSize(f[5], &entry->baseSize) || !ParseHash(f[6], &entry->baseHash)) {
      *why = "bad size or hash";
      return false;
    }
    entry->path.assign(f[7]);
  } else {
    *why = "not a file or delta line";
    return false;
  }
  if (!ValidManifestPath(entry->path)) {
    *why = "bad path";
    return false;
  }
  return true;
}

}  // namespace

bool ValidManifestPath(const std::string& path) {
  if (path.empty() || path.size() > kMaxManifestPath) return false;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    unsigned char c = i < path.size() ? static_cast<unsigned char>(path[i]) : '\\';
    if (c < 0x20 || c == 0x7F || c == '/' || c == ':') return false;
    if (platform::IsLeadByte(c) && i + 1 < path.size()) {
      if (static_cast<unsigned char>(path[i + 1]) < 0x40) return false;
      ++i;
      continue;
    }
    if (c != '\\') continue;
    std::string_view name(path.data() + start, i - start);
    if (name.empty() || name == "." || name == "..") return false;
    start = i + 1;
  }
  return true;
}

bool Manifest::Parse(const char* data, size_t size, std::string* error) {
  m_entries.clear();
  m_order.clear();
  m_keys.clear();
  std::string_view text(data, size);
  std::vector<std::string_view> fields;
  size_t at = 0;
  size_t lineNumber = 0;
  bool ended = false;
  auto fail = [&](const std::string& why) {
    *error = "line " + std::to_string(lineNumber) + ": " + why;
    m_entries.clear();
    return false;
  };
  while (!ended) {
    ++lineNumber;
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) {
      return fail(at == text.size() ? "no end line (the manifest is cut)" : "no line feed");
    }
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (line.size() > kMaxLine) return fail("line too long");
    if (lineNumber == 1) {
      if (line != kHeader) return fail("not a manifest of version 1");
      continue;
    }
    if (!Split(line, &fields)) return fail("too many fields");
    if (fields[0] == "end") {
      uint64_t count = 0;
      if (fields.size() != 2 || !ParseSize(fields[1], &count) || count != m_entries.size()) {
        return fail("end line does not match the entries");
      }
      ended = true;
      continue;
    }
    ManifestEntry entry;
    std::string why;
    if (!ParseEntry(fields, &entry, &why)) return fail(why);
    m_entries.push_back(std::move(entry));
  }
  // What follows the end line is reserved for a signature over the bytes
  // before it; this version reads nothing of it.
  std::vector<std::string> keys;
  keys.reserve(m_entries.size());
  for (const ManifestEntry& entry : m_entries) keys.push_back(Folded(entry.path));
  m_order.resize(m_entries.size());
  for (uint32_t i = 0; i < m_order.size(); ++i) m_order[i] = i;
  std::sort(m_order.begin(), m_order.end(),
            [&](uint32_t a, uint32_t b) { return keys[a] < keys[b]; });
  for (size_t i = 1; i < m_order.size(); ++i) {
    if (keys[m_order[i - 1]] == keys[m_order[i]]) {
      lineNumber = std::max(m_order[i - 1], m_order[i]) + 2;
      m_order.clear();
      return fail("path listed twice");
    }
  }
  m_keys.clear();
  for (uint32_t i : m_order) m_keys.push_back(std::move(keys[i]));
  return true;
}

bool Manifest::Load(const char* path, std::string* error) {
  m_entries.clear();
  m_order.clear();
  m_keys.clear();
  platform::File file(platform::OpenExisting(path, platform::Share::kRead));
  uint64_t size = 0;
  if (!file || !platform::FileSize(file.get(), &size)) {
    *error = "can't be opened";
    return false;
  }
  if (size > kMaxManifestBytes) {
    *error = "larger than a manifest can be";
    return false;
  }
  std::string data(static_cast<size_t>(size), '\0');
  size_t got = 0;
  while (got < data.size()) {
    uint32_t done = 0;
    uint32_t want = static_cast<uint32_t>(std::min<size_t>(data.size() - got, 1u << 20));
    if (!platform::ReadBytes(file.get(), data.data() + got, want, &done) || done == 0) {
      *error = "can't be read whole";
      return false;
    }
    got += done;
  }
  return Parse(data.data(), data.size(), error);
}

const ManifestEntry* Manifest::Find(const char* relativePath) const {
  std::string key = Folded(relativePath);
  auto it = std::lower_bound(m_keys.begin(), m_keys.end(), key);
  if (it == m_keys.end() || *it != key) return nullptr;
  return &m_entries[m_order[it - m_keys.begin()]];
}

ManifestEntry WholeFileEntry(const std::string& path, const void* data, size_t size) {
  ManifestEntry entry;
  entry.path = path;
  entry.size = entry.patchSize = size;
  entry.hash = entry.patchHash = platform::Sha256::Of(data, size);
  return entry;
}

bool DeltaFileEntry(const std::string& path, const std::string& delta, ManifestEntry* entry) {
  MemoryInput in(delta.data(), delta.size());
  DeltaHeader header;
  if (!ReadHeader(&in, &header)) return false;
  entry->path = path;
  entry->isDelta = true;
  entry->size = header.resultSize;
  entry->hash = header.resultHash;
  entry->patchSize = delta.size();
  entry->patchHash = platform::Sha256::Of(delta.data(), delta.size());
  entry->baseSize = header.baseSize;
  entry->baseHash = header.baseHash;
  return true;
}

std::string WriteManifest(const std::vector<ManifestEntry>& entries) {
  std::string out(kHeader);
  out += '\n';
  for (const ManifestEntry& e : entries) {
    if (e.isDelta) {
      out += "delta\t" + std::to_string(e.size) + '\t' + platform::HexDigest(e.hash) + '\t' +
             std::to_string(e.patchSize) + '\t' + platform::HexDigest(e.patchHash) + '\t' +
             std::to_string(e.baseSize) + '\t' + platform::HexDigest(e.baseHash);
    } else {
      out += "file\t" + std::to_string(e.size) + '\t' + platform::HexDigest(e.hash);
    }
    out += '\t' + e.path + '\n';
  }
  out += "end\t" + std::to_string(entries.size()) + '\n';
  return out;
}

}  // namespace delta
