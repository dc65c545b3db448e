// CFPK's life cycle and its direct access mode; the archive branches of each
// operation live in pack_index.cpp (the pack and its index) and
// pack_entry.cpp (opening, decoding and reading entries).
#include "fileaccess/fpk.h"

#include <cstring>

namespace {

// Label of the pack name while the object reads plain disk files.
const char kDirectAccessLabel[] = "直接アクセスモード";

}  // namespace

CFPK::CFPK()
    : m_direct(0),
      m_hashed(0),
      m_coding(Stored),
      m_packName{},
      m_fileName{},
      m_count(0),
      m_current(-1),
      m_rleSize(0),
      m_rlePos(0),
      m_size(0),
      m_flags(0),
      m_flagMask(0),
      m_rleHeader{},
      m_outData(nullptr),
      m_outCapacity(0),
      m_inCapacity(0),
      m_outRead(0),
      m_inRead(0),
      m_outFill(0),
      m_inFill(0) {}

CFPK::~CFPK() {
  CloseFile();
  ClosePack();
}

bool CFPK::OpenPack(const char* packName) {
  // A pack or file still open would otherwise stay open, unreachable, until
  // the process ends.
  ClosePack();
  if (packName == nullptr || packName[0] == '\0') {
    static_assert(sizeof(kDirectAccessLabel) <= kNameSize);
    std::memcpy(m_packName, kDirectAccessLabel, sizeof(kDirectAccessLabel));
    m_direct = 1;
    return true;
  }
  return OpenPackFile(packName);
}

void CFPK::ClosePack() {
  if (m_direct) {
    CloseFile();
    m_packName[0] = '\0';
    m_direct = 0;
    return;
  }
  if (!m_file) return;
  CloseEntry();
  m_file.Reset();
  m_index.reset();
  m_names.reset();
  m_count = 0;
  m_hashed = 0;
  m_current = -1;
  m_packName[0] = '\0';
}

bool CFPK::OpenFile(const char* name) {
  if (!m_direct) return OpenEntry(name);
  CloseFile();
  // A longer name does not fit m_fileName; it is refused rather than cut.
  if (name == nullptr || std::strlen(name) >= sizeof(m_fileName)) return false;
  m_file.Reset(platform::OpenExisting(name, platform::Share::kRead));
  if (!m_file) return false;
  std::memcpy(m_fileName, name, std::strlen(name) + 1);
  return true;
}

int32_t CFPK::Read(void* dest, int32_t count) {
  if (!m_file) return 0;
  if (m_direct) {
    if (dest == nullptr || count <= 0) return 0;
    uint32_t done = 0;
    if (!platform::ReadBytes(m_file.get(), dest, static_cast<uint32_t>(count), &done)) return 0;
    return static_cast<int32_t>(done);
  }
  if (m_current < 0 || dest == nullptr || count <= 0) return 0;
  uint8_t* out = static_cast<uint8_t*>(dest);
  switch (m_coding) {
    case Stored:
      return ReadStored(out, count);
    case Zlc2:
      return ReadLz(out, count);
    case Rle0:
      return ReadRle(out, count);
  }
  return 0;
}

int32_t CFPK::GetSize() {
  if (!m_file) return 0;
  if (m_direct) {
    uint64_t size = 0;
    if (!platform::FileSize(m_file.get(), &size)) return 0;
    return static_cast<int32_t>(static_cast<uint32_t>(size));
  }
  return m_current < 0 ? 0 : static_cast<int32_t>(m_size);
}

int64_t CFPK::GetFullSize() {
  if (!m_file) return -1;
  if (m_direct) {
    uint64_t size = 0;
    if (!platform::FileSize(m_file.get(), &size)) return -1;
    return static_cast<int64_t>(size);
  }
  return m_current < 0 ? -1 : static_cast<int64_t>(m_size);
}

void CFPK::CloseFile() {
  if (!m_file) return;
  if (m_direct) {
    m_file.Reset();
    m_fileName[0] = '\0';
    return;
  }
  CloseEntry();
}
