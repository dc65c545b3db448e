#include "delta/streams.h"

#include <algorithm>
#include <cstring>

namespace delta {

bool MemoryInput::Read(void* dest, uint32_t count, uint32_t* done) {
  size_t n = std::min<size_t>(count, m_size - m_at);
  if (n > 0) std::memcpy(dest, m_data + m_at, n);
  m_at += n;
  *done = static_cast<uint32_t>(n);
  return true;
}

bool MemoryBase::ReadAt(uint64_t offset, void* dest, uint32_t count) {
  if (offset > m_size || count > m_size - offset) return false;
  if (count > 0) std::memcpy(dest, m_data + offset, count);
  return true;
}

bool FileBase::ReadAt(uint64_t offset, void* dest, uint32_t count) {
  if (offset > m_size || count > m_size - offset) return false;
  if (offset != m_position) {
    m_position = UINT64_MAX;
    if (!platform::Seek(m_file, static_cast<int64_t>(offset), platform::SeekFrom::kBegin)) {
      return false;
    }
  }
  uint8_t* to = static_cast<uint8_t*>(dest);
  uint32_t got = 0;
  while (got < count) {
    uint32_t done = 0;
    if (!platform::ReadBytes(m_file, to + got, count - got, &done) || done == 0) {
      m_position = UINT64_MAX;
      return false;
    }
    got += done;
  }
  m_position = offset + count;
  return true;
}

bool HashingInput::Read(void* dest, uint32_t count, uint32_t* done) {
  if (!m_in->Read(dest, count, done)) return false;
  m_hash.Update(dest, *done);
  m_count += *done;
  return true;
}

bool HashingInput::Drain() {
  uint8_t buffer[4096];
  for (;;) {
    uint32_t done = 0;
    if (!Read(buffer, sizeof buffer, &done)) return false;
    if (done == 0) return true;
  }
}

}  // namespace delta
