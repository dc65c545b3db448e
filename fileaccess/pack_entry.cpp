// The archive branches of OpenFile, Read and CloseFile: an entry's head, the
// input and output buffers, Stored and Rle0 entries (Zlc2 decoding lives in
// lz_decoder.cpp).
#include <algorithm>
#include <cstring>
#include <new>

#include "fileaccess/fpk.h"
#include "fileaccess/pack_format.h"
#include "fileaccess/rle_codec.h"

namespace pack {

EntryHead ReadEntryHead(platform::FileHandle file, uint32_t offset) {
  EntryHead head;
  char magic[4];
  uint32_t done = 0;
  if (!platform::Seek(file, offset, platform::SeekFrom::kBegin) ||
      !platform::ReadBytes(file, magic, sizeof(magic), &done) || done < sizeof(magic)) {
    return head;
  }
  if (std::memcmp(magic, kZlc2Magic, 4) == 0) {
    uint32_t size = 0;
    if (!platform::ReadBytes(file, &size, sizeof(size), &done)) return head;
    head.coding = Zlc2;
    head.size = size;
    head.cut = done < sizeof(size);
  } else if (std::memcmp(magic, kRle0Magic, 4) == 0) {
    RleHeader rle{};
    if (!platform::Seek(file, offset, platform::SeekFrom::kBegin) ||
        !platform::ReadBytes(file, &rle, sizeof(rle), &done)) {
      return head;
    }
    head.coding = Rle0;
    head.rle = rle;
    head.cut = done < sizeof(rle);
  }
  return head;
}

}  // namespace pack

PackCoding CFPK::ReadEntryHeader() {
  pack::EntryHead head = pack::ReadEntryHead(m_file.get(), m_index[m_current].offset);
  m_headerCut = head.cut;
  if (head.coding == Zlc2) m_size = head.size;
  if (head.coding == Rle0) m_rleHeader = head.rle;
  return head.coding;
}

bool CFPK::AllocInput() {
  m_inBuffer.reset(new (std::nothrow) uint8_t[kInBufferSize]());
  if (m_inBuffer == nullptr) return false;
  m_inCapacity = kInBufferSize;
  m_inRead = m_inFill = 0;
  return true;
}

void CFPK::FreeInput() {
  m_inBuffer.reset();
  m_inCapacity = 0;
  m_inRead = m_inFill = 0;
}

int32_t CFPK::FillInput() {
  int32_t unread = m_inFill - m_inRead;
  if (unread > 0) std::memmove(m_inBuffer.get(), m_inBuffer.get() + m_inRead, unread);
  m_inRead = 0;
  m_inFill = unread;
  uint32_t done = 0;
  if (!platform::ReadBytes(m_file.get(), m_inBuffer.get() + unread,
                           static_cast<uint32_t>(m_inCapacity - unread), &done)) {
    return 0;
  }
  m_inFill += static_cast<int32_t>(done);
  return static_cast<int32_t>(done);
}

bool CFPK::AllocOutput() {
  m_outBuffer.reset(new (std::nothrow) uint8_t[kHistorySize + kOutAreaSize]());
  if (m_outBuffer == nullptr) return false;
  m_outData = m_outBuffer.get() + kHistorySize;
  m_outCapacity = kOutAreaSize;
  m_outRead = m_outFill = 0;
  return true;
}

void CFPK::FreeOutput() {
  m_outBuffer.reset();
  m_outData = nullptr;
  m_outCapacity = 0;
  m_outRead = m_outFill = 0;
}

int32_t CFPK::FillOutput() {
  // Never past the entry's end: the bytes that follow belong to others.
  uint32_t want =
      std::min<uint32_t>(static_cast<uint32_t>(m_outCapacity - m_outFill), m_storedLeft);
  if (want == 0) return 0;
  uint32_t done = 0;
  if (!platform::ReadBytes(m_file.get(), m_outData + m_outFill, want, &done)) return 0;
  m_outFill += static_cast<int32_t>(done);
  m_storedLeft -= done;
  return static_cast<int32_t>(done);
}

bool CFPK::OpenEntry(const char* name) {
  if (!m_file) return false;
  CloseEntry();
  if (name == nullptr || std::strlen(name) >= sizeof(m_fileName)) return false;
  m_current = FindEntry(name);
  if (m_current < 0) return false;
  m_coding = ReadEntryHeader();
  bool opened = false;
  if (!m_headerCut) {
    switch (m_coding) {
      case Zlc2:
        opened = OpenZlc2Entry();
        break;
      case Rle0:
        opened = OpenRleEntry();
        break;
      case Stored:
        opened = OpenStoredEntry();
        break;
    }
  }
  if (!opened) {
    CloseEntry();
    return false;
  }
  std::memcpy(m_fileName, name, std::strlen(name) + 1);
  return true;
}

bool CFPK::OpenZlc2Entry() {
  if (m_size > pack::kMaxEntrySize) return false;
  if (!AllocInput()) return false;
  m_inEnd = false;
  if (FillInput() <= 0 || !AllocOutput()) return false;
  m_flagMask = 0xFF;
  m_flags = m_inBuffer[0];
  m_inRead = 1;
  m_decoded = 0;
  m_left = m_size;
  return true;
}

bool CFPK::OpenRleEntry() {
  const RleHeader& header = m_rleHeader;
  if (header.unpackedLength > pack::kMaxEntrySize || header.method > 1) return false;
  m_rleSize = static_cast<int32_t>(header.unpackedLength);
  if (!LoadRle()) return false;
  m_size = header.unpackedLength;
  return true;
}

bool CFPK::LoadRle() {
  const RleHeader& header = m_rleHeader;
  // Packed data that the file can't hold is not read, and takes no memory.
  uint64_t fileSize = 0;
  uint64_t start = uint64_t{m_index[m_current].offset} + pack::kRleHeaderSize;
  if (!platform::FileSize(m_file.get(), &fileSize) || start > fileSize ||
      fileSize - start < header.packedLength) {
    return false;
  }
  std::unique_ptr<uint8_t[]> packed(new (std::nothrow)
                                        uint8_t[std::max<uint32_t>(header.packedLength, 1)]);
  if (packed == nullptr || !pack::ReadExactly(m_file.get(), packed.get(), header.packedLength)) {
    return false;
  }
  // Only the bytes that the tokens write are held; past them the entry reads
  // as zeros, which need no memory. So the memory follows the packed data
  // that the file holds, not the size its header claims.
  int64_t held = rle::DecodeTokens(nullptr, header.unpackedLength, packed.get(),
                                   header.packedLength, header.method);
  if (held < 0) return false;
  m_rleData.reset(new (std::nothrow) uint8_t[std::max<int64_t>(held, 1)]);
  if (m_rleData == nullptr) return false;
  rle::DecodeTokens(m_rleData.get(), static_cast<uint32_t>(held), packed.get(), header.packedLength,
                    header.method);
  m_rleFilled = static_cast<int32_t>(held);
  m_rlePos = 0;
  return true;
}

bool CFPK::OpenStoredEntry() {
  const PackEntry& record = m_index[m_current];
  if (record.size > pack::kMaxEntrySize || !AllocOutput()) return false;
  if (!platform::Seek(m_file.get(), record.offset, platform::SeekFrom::kBegin)) return false;
  m_storedLeft = record.size;
  // An empty entry opens wherever it starts, the end of the pack included.
  if (record.size > 0 && FillOutput() <= 0) return false;
  m_size = record.size;
  return true;
}

void CFPK::CloseEntry() {
  m_rleData.reset();
  m_rleSize = 0;
  m_rleFilled = 0;
  m_fileName[0] = '\0';
  m_current = -1;
  m_size = 0;
  m_left = 0;
  m_storedLeft = 0;
  m_decoded = 0;
  m_headerCut = false;
  FreeInput();
  FreeOutput();
}

int32_t CFPK::ReadStored(uint8_t* dest, int32_t count) {
  int32_t delivered = 0;
  while (count > 0) {
    int32_t available = m_outFill - m_outRead;
    if (available == 0) {
      m_outRead = m_outFill = 0;
      if (count >= m_outCapacity && m_storedLeft > 0) {
        // A large read goes straight to the destination.
        uint32_t want = std::min<uint32_t>(static_cast<uint32_t>(count), m_storedLeft);
        uint32_t done = 0;
        if (!platform::ReadBytes(m_file.get(), dest + delivered, want, &done) || done == 0) break;
        m_storedLeft -= done;
        delivered += static_cast<int32_t>(done);
        count -= static_cast<int32_t>(done);
        if (done < want) break;
        continue;
      }
      available = FillOutput();
      if (available == 0) break;
    }
    int32_t k = std::min(available, count);
    std::memcpy(dest + delivered, m_outData + m_outRead, static_cast<size_t>(k));
    m_outRead += k;
    delivered += k;
    count -= k;
  }
  return delivered;
}

int32_t CFPK::ReadRle(uint8_t* dest, int32_t count) {
  if (m_rlePos >= m_rleSize) return 0;
  int32_t k = std::min(count, m_rleSize - m_rlePos);
  int32_t held = std::clamp(m_rleFilled - m_rlePos, 0, k);
  if (held > 0) std::memcpy(dest, m_rleData.get() + m_rlePos, static_cast<size_t>(held));
  if (k > held) std::memset(dest + held, 0, static_cast<size_t>(k - held));
  m_rlePos += k;
  return k;
}
