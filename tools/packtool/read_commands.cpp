// packtool list, cat, extract and verify: everything read through CFPK, as
// the program that uses the pack reads it.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fileaccess/fpk.h"
#include "fileaccess/pack_format.h"
#include "tools/packtool/packtool.h"

namespace packtool {
namespace {

constexpr int32_t kPiece = 65536;

// The pack named on the command line, opened through CFPK, with its index.
class Pack {
 public:
  // False (with the error said) when the pack can't be opened; with
  // checked, also when its head or index is not well formed (*status then
  // kEntryFailed).
  bool Open(const std::string& local, bool checked = false, int* status = nullptr) {
    m_local = local;
    std::string system;
    if (IsFolder(local)) {
      Error(local + ": a folder, not a pack file");
      return false;
    }
    if (!ToSystemText(local, &system)) {
      Error(local + ": the name has no code page 932 form");
      return false;
    }
    platform::File file(platform::OpenExisting(system.c_str(), platform::Share::kRead));
    std::string reason;
    if (file && checked && IndexFault(file.get(), &reason)) {
      Error(local + ": not a well-formed pack: " + reason);
      if (status != nullptr) *status = kEntryFailed;
      return false;
    }
    bool indexRead = file && platform::Seek(file.get(), 0, platform::SeekFrom::kBegin) &&
                     pack::ReadIndex(file.get(), &m_index);
    if (indexRead) {
      for (int32_t i = 0; i < m_index.count; ++i) {
        m_heads.push_back(pack::ReadEntryHead(file.get(), m_index.records[i].offset));
        m_faults.push_back(checked ? EntryFault(file.get(), m_index.records[i], m_heads.back())
                                   : std::string());
      }
    }
    file.Reset();
    if (!indexRead || !m_fpk.OpenPack(system.c_str())) {
      Error(local + ": can't be opened as a pack");
      return false;
    }
    return true;
  }
  // Why record i is not well formed; empty when it is (or was not checked).
  const std::string& fault(int32_t i) const { return m_faults[static_cast<size_t>(i)]; }
  CFPK& fpk() { return m_fpk; }
  const pack::Index& index() const { return m_index; }
  const pack::EntryHead& head(int32_t i) const { return m_heads[static_cast<size_t>(i)]; }
  const std::string& local() const { return m_local; }
  // The record's name as text (never past its 24 bytes).
  std::string Name(int32_t i) const {
    const char* name = m_index.records[i].name;
    return std::string(name, strnlen(name, pack::kNameSize));
  }

 private:
  std::string m_local;
  pack::Index m_index;
  std::vector<pack::EntryHead> m_heads;
  std::vector<std::string> m_faults;
  CFPK m_fpk;
};

// The coding, and for a Zlc2 or Rle0 head that the file ends inside, that
// the header is cut (such an entry can't be opened).
const char* CodingName(const pack::EntryHead& head) {
  if (head.coding == Zlc2) return head.cut ? "zlc2-cut-header" : "zlc2";
  if (head.coding == Rle0) return head.cut ? "rle0-cut-header" : "rle0";
  return "stored";
}

// Reads the open entry to its size, handing each piece to sink. Returns the
// bytes delivered.
template <typename Sink>
int64_t ReadEntry(CFPK& fpk, Sink sink) {
  std::vector<char> buffer(kPiece);
  int64_t size = fpk.GetSize();
  int64_t done = 0;
  while (done < size) {
    int32_t want = static_cast<int32_t>(std::min<int64_t>(kPiece, size - done));
    int32_t n = fpk.Read(buffer.data(), want);
    if (n <= 0) break;
    if (!sink(buffer.data(), n)) return -1;
    done += n;
  }
  return done;
}

// Where a record can be opened by its name: the record itself, or the lower
// one of the same name that the lookup finds. -1 when the name finds none.
int32_t Reached(Pack& pack, int32_t i) { return pack.fpk().FindEntry(pack.Name(i).c_str()); }

// A name that is safe as a file name in the target folder.
bool SafeFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' ||
        c == '<' || c == '>' || c == '|') {
      return false;
    }
  }
  return true;
}

bool NeedArgs(const std::vector<std::string>& args, size_t least, size_t most, const char* usage) {
  if (args.size() < least || args.size() > most) {
    Error(std::string("usage: packtool ") + usage);
    return false;
  }
  return true;
}

}  // namespace

int List(const std::vector<std::string>& args) {
  if (!NeedArgs(args, 1, 1, "list PACK")) return kUsage;
  Pack pack;
  int status = kPackFailed;
  if (!pack.Open(args[0], true, &status)) return status;
  const pack::Index& index = pack.index();
  status = kOk;
  for (int32_t i = 0; i < index.count; ++i) {
    const PackEntry& record = index.records[i];
    const pack::EntryHead& head = pack.head(i);
    // A cut header's size field is partial: the record's own size is shown.
    uint32_t size = head.cut              ? record.size
                    : head.coding == Zlc2 ? head.size
                    : head.coding == Rle0 ? head.rle.unpackedLength
                                          : record.size;
    std::printf("%d\t%s\t%s\t%" PRIu32 "\t%" PRIu32, i, ToDisplayText(pack.Name(i)).c_str(),
                CodingName(head), size, record.offset);
    if (index.hashed) std::printf("\t%u", static_cast<unsigned>(record.hash));
    std::printf("\n");
    if (!pack.fault(i).empty()) {
      std::fflush(stdout);
      Error("record " + std::to_string(i) + " \"" + ToDisplayText(pack.Name(i)) +
            "\": not a well-formed entry: " + pack.fault(i));
      status = kEntryFailed;
    }
  }
  return status;
}

int Cat(const std::vector<std::string>& args) {
  if (!NeedArgs(args, 2, 2, "cat PACK NAME")) return kUsage;
  Pack pack;
  if (!pack.Open(args[0])) return kPackFailed;
  std::string name;
  if (!ToSystemText(args[1], &name) || !pack.fpk().OpenFile(name.c_str())) {
    Error(args[1] + ": no such entry in " + args[0] + ", or it can't be opened");
    return kEntryFailed;
  }
  SetBinaryOutput();
  int64_t size = pack.fpk().GetSize();
  int64_t done = ReadEntry(pack.fpk(), [](const char* data, int32_t n) {
    return std::fwrite(data, 1, static_cast<size_t>(n), stdout) == static_cast<size_t>(n);
  });
  if (done < 0 || std::fflush(stdout) != 0) {
    Error("standard output can't be written");
    return kEntryFailed;
  }
  if (done < size) {
    Error(args[1] + ": only " + std::to_string(done) + " of its " + std::to_string(size) +
          " bytes could be read");
    return kEntryFailed;
  }
  return kOk;
}

int Extract(const std::vector<std::string>& args) {
  if (!NeedArgs(args, 1, 2, "extract PACK [DIR]")) return kUsage;
  Pack pack;
  if (!pack.Open(args[0])) return kPackFailed;
  std::string folder = args.size() > 1 ? args[1] : ".";
  if (!MakeFolders(folder)) {
    Error(folder + ": the folder can't be made");
    return kEntryFailed;
  }
  int status = kOk;
  for (int32_t i = 0; i < pack.index().count; ++i) {
    std::string name = pack.Name(i);
    std::string shown = ToDisplayText(name);
    int32_t reached = Reached(pack, i);
    if (reached >= 0 && reached != i) {
      std::fprintf(
          stderr,
          "packtool: note: record %d \"%s\" is hidden by record %d of the same name; skipped\n", i,
          shown.c_str(), reached);
      continue;
    }
    std::string local;
    if (!ToLocalText(name, &local) || !SafeFileName(local)) {
      Error("record " + std::to_string(i) + " \"" + shown + "\": not a safe file name; skipped");
      status = kEntryFailed;
      continue;
    }
    if (reached != i || !pack.fpk().OpenFile(name.c_str())) {
      Error("record " + std::to_string(i) + " \"" + shown + "\": can't be opened");
      status = kEntryFailed;
      continue;
    }
    std::string path = folder + "/" + local;
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
      Error(path + ": can't be written");
      status = kEntryFailed;
      continue;
    }
    int64_t done = ReadEntry(pack.fpk(), [out](const char* data, int32_t n) {
      return std::fwrite(data, 1, static_cast<size_t>(n), out) == static_cast<size_t>(n);
    });
    bool closed = std::fclose(out) == 0;
    if (done < 0 || !closed) {
      Error(path + ": can't be written");
      status = kEntryFailed;
    } else if (done < pack.fpk().GetSize()) {
      Error("record " + std::to_string(i) + " \"" + shown + "\": only " + std::to_string(done) +
            " of its " + std::to_string(pack.fpk().GetSize()) + " bytes could be read");
      status = kEntryFailed;
    }
  }
  return status;
}

int Verify(const std::vector<std::string>& args) {
  if (!NeedArgs(args, 1, 1, "verify PACK")) return kUsage;
  Pack pack;
  int status = kPackFailed;
  if (!pack.Open(args[0], true, &status)) return status;
  int32_t failed = 0;
  int32_t read = 0;
  for (int32_t i = 0; i < pack.index().count; ++i) {
    std::string shown = ToDisplayText(pack.Name(i));
    std::string what = "record " + std::to_string(i) + " \"" + shown + "\": ";
    // The lookup finds another record of the same name (before this one, or
    // after it when the hash search meets that one first): this one is hidden.
    int32_t reached = Reached(pack, i);
    if (reached >= 0 && reached != i) {
      std::fprintf(stderr, "packtool: note: %sis hidden by record %d of the same name\n",
                   what.c_str(), reached);
      continue;
    }
    if (reached != i) {
      Error(what + "its name does not find it (a hash that does not match the name?)");
      ++failed;
      continue;
    }
    if (!pack.fault(i).empty()) {
      Error(what + "not a well-formed entry: " + pack.fault(i));
      ++failed;
      continue;
    }
    if (!pack.fpk().OpenFile(pack.Name(i).c_str())) {
      Error(what + "can't be opened");
      ++failed;
      continue;
    }
    int64_t done = ReadEntry(pack.fpk(), [](const char*, int32_t) { return true; });
    if (done < pack.fpk().GetSize()) {
      Error(what + "only " + std::to_string(done) + " of its " +
            std::to_string(pack.fpk().GetSize()) + " bytes could be read");
      ++failed;
      continue;
    }
    ++read;
  }
  std::printf("%s: %d entries read whole, %d failed\n", pack.local().c_str(), read, failed);
  return failed > 0 ? kEntryFailed : kOk;
}

}  // namespace packtool
