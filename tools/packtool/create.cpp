// packtool create: entries are the named files, under their own names in
// code page 932, each in the coding asked for (or the smallest).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fileaccess/fpk.h"
#include "fileaccess/pack_format.h"
#include "fileaccess/pack_writer.h"
#include "platform/text.h"
#include "tools/packtool/packtool.h"

namespace packtool {
namespace {

struct Options {
  std::string out;
  pack::Layout layout = pack::Layout::kPlain;
  uint32_t key = 0;
  std::string coding = "auto";
  std::vector<std::string> files;
};

int ParseOptions(const std::vector<std::string>& args, Options* options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool hasValue = i + 1 < args.size();
    if (arg == "--layout" || arg == "--key" || arg == "--coding") {
      if (!hasValue) {
        Error(arg + " needs a value");
        return kUsage;
      }
      const std::string& value = args[++i];
      if (arg == "--layout") {
        if (value == "plain") {
          options->layout = pack::Layout::kPlain;
        } else if (value == "extended") {
          options->layout = pack::Layout::kExtended;
        } else if (value == "hashed") {
          options->layout = pack::Layout::kHashed;
        } else {
          Error("unknown layout \"" + value + "\" (plain, extended or hashed)");
          return kUsage;
        }
      } else if (arg == "--key") {
        char* end = nullptr;
        std::string digits =
            value.rfind("0x", 0) == 0 || value.rfind("0X", 0) == 0 ? value.substr(2) : value;
        unsigned long long key = std::strtoull(digits.c_str(), &end, 16);
        if (digits.empty() || digits.size() > 8 || *end != '\0') {
          Error("--key takes up to eight hexadecimal digits, not \"" + value + "\"");
          return kUsage;
        }
        options->key = static_cast<uint32_t>(key);
      } else {
        if (value != "stored" && value != "zlc2" && value != "rle0" && value != "auto") {
          Error("unknown coding \"" + value + "\" (stored, zlc2, rle0 or auto)");
          return kUsage;
        }
        options->coding = value;
      }
    } else if (arg.rfind("--", 0) == 0) {
      Error("unknown option \"" + arg + "\"");
      return kUsage;
    } else if (options->out.empty()) {
      options->out = arg;
    } else {
      options->files.push_back(arg);
    }
  }
  if (options->out.empty()) {
    Error("create needs the name of the pack to write (try packtool --help)");
    return kUsage;
  }
  if (options->files.size() > pack::kCountMask) {
    Error("a pack holds at most 16,777,215 entries");
    return kUsage;
  }
  return kOk;
}

struct Encoded {
  std::string bytes;
  bool stored;  // the data as it is: the record carries its size
};

// The entry's bytes in the coding asked for; "auto" takes the smallest.
// Data that would read as a Zlc2 or Rle0 head can't be stored as it is: it
// goes in as an Rle0 entry, which gives it back unchanged.
Encoded EncodeEntry(const std::string& coding, const std::string& data) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data());
  bool storable = pack::StorableAsIs(bytes, data.size());
  if (coding == "stored" && storable) return {data, true};
  if (coding == "zlc2") return {pack::Zlc2Entry(bytes, data.size()), false};
  Encoded best{pack::Rle0Entry(bytes, data.size()), false};
  if (coding != "auto") return best;
  std::string lz = pack::Zlc2Entry(bytes, data.size());
  if (lz.size() < best.bytes.size()) best.bytes.swap(lz);
  if (storable && data.size() <= best.bytes.size()) return {data, true};
  return best;
}

// Writes the pack: head word, index, entries, trailer. The index stands
// right after the head word, so its offset is 4 in every layout; it is
// written once the entries' places are known.
class PackFile {
 public:
  explicit PackFile(const std::string& path)
      : m_path(path), m_file(std::fopen(path.c_str(), "wb")) {}
  ~PackFile() {
    if (m_file != nullptr) std::fclose(m_file);
    if (!m_done) std::remove(m_path.c_str());
  }
  bool ok() const { return m_file != nullptr && !m_failed; }
  uint64_t position() const { return m_position; }
  void Write(const std::string& bytes) {
    if (m_file == nullptr || bytes.empty()) return;
    if (std::fwrite(bytes.data(), 1, bytes.size(), m_file) != bytes.size()) m_failed = true;
    m_position += bytes.size();
  }
  bool Finish(const std::string& index, const std::string& trailer) {
    Write(trailer);
    if (!ok() || std::fseek(m_file, 4, SEEK_SET) != 0) return false;
    if (std::fwrite(index.data(), 1, index.size(), m_file) != index.size()) return false;
    m_done = std::fclose(m_file) == 0;
    m_file = nullptr;
    return m_done;
  }

 private:
  std::string m_path;
  std::FILE* m_file;
  uint64_t m_position = 0;
  bool m_failed = false;
  bool m_done = false;
};

}  // namespace

int Create(const std::vector<std::string>& args) {
  Options options;
  if (int status = ParseOptions(args, &options); status != kOk) return status;
  if (IsFolder(options.out)) {
    Error(options.out + ": a folder; the pack to write must be a file");
    return kPackFailed;
  }
  // Names first: every one must fit, and no two may be the same name.
  std::vector<std::string> names;
  for (const std::string& file : options.files) {
    if (IsFolder(file)) {
      Error(file + ": a folder; a pack's entries are files (name the files in it)");
      return kEntryFailed;
    }
    std::string name;
    if (!ToSystemText(BaseName(file), &name)) {
      Error(file + ": the name has no code page 932 form");
      return kEntryFailed;
    }
    if (name.empty() || name.size() > pack::kMaxNameLength) {
      Error(file + ": an entry name takes 1 to 23 bytes in code page 932, this one " +
            std::to_string(name.size()));
      return kEntryFailed;
    }
    for (size_t i = 0; i < names.size(); ++i) {
      if (platform::CompareNoCase(names[i].c_str(), name.c_str()) == 0) {
        Error(file + ": the pack already has an entry of that name (" + options.files[i] + ")");
        return kEntryFailed;
      }
    }
    names.push_back(name);
  }
  size_t recordSize =
      options.layout == pack::Layout::kPlain ? pack::kPlainRecordSize : pack::kExtendedRecordSize;
  PackFile out(options.out);
  if (!out.ok()) {
    Error(options.out + ": can't be written");
    return kPackFailed;
  }
  char head[4];
  uint32_t headWord = pack::HeadWord(options.layout, static_cast<uint32_t>(names.size()));
  std::memcpy(head, &headWord, 4);
  out.Write(std::string(head, 4));
  out.Write(std::string(recordSize * names.size(), '\0'));
  std::vector<PackEntry> records;
  for (size_t i = 0; i < names.size(); ++i) {
    std::ifstream in(options.files[i], std::ios::binary);
    std::string data;
    if (in.is_open())
      data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.is_open() || in.bad()) {
      Error(options.files[i] + ": can't be read");
      return kEntryFailed;
    }
    if (data.size() > pack::kMaxEntrySize) {
      Error(options.files[i] + ": an entry holds less than 2 GiB");
      return kEntryFailed;
    }
    Encoded entry = EncodeEntry(options.coding, data);
    uint32_t size = static_cast<uint32_t>(entry.stored ? data.size() : entry.bytes.size());
    // A short entry is padded, so that its first four bytes are its own.
    if (entry.bytes.size() < pack::kMinEntrySpan) {
      entry.bytes.append(pack::kMinEntrySpan - entry.bytes.size(), '\0');
    }
    if (out.position() + entry.bytes.size() > 0xFFFFFFFFu) {
      Error(options.files[i] + ": the pack would pass 4 GiB, beyond what its offsets reach");
      return kPackFailed;
    }
    records.push_back(pack::MakeRecord(names[i], static_cast<uint32_t>(out.position()), size));
    out.Write(entry.bytes);
  }
  if (options.layout == pack::Layout::kHashed) pack::SortForHashedIndex(&records);
  std::string trailer =
      options.layout == pack::Layout::kPlain ? std::string() : pack::Trailer(options.key, 4);
  if (!out.Finish(pack::IndexBytes(options.layout, options.key, records), trailer)) {
    Error(options.out + ": can't be written");
    return kPackFailed;
  }
  return kOk;
}

}  // namespace packtool
