// For tests of checked copies: contents that expect the file's bytes as they
// stand, examined in order, and refuse the first piece that differs, as a
// hash of the bytes seen so far would.
#ifndef VX_PLATFORM_TESTING_EXPECTED_BYTES_H_
#define VX_PLATFORM_TESTING_EXPECTED_BYTES_H_

#include <cstring>
#include <string>
#include <utility>

#include "platform/fs.h"

namespace platform::testing {

class ExpectedBytes : public CopyContents {
 public:
  explicit ExpectedBytes(std::string bytes) : m_bytes(std::move(bytes)) {}
  bool Unchanged() const override { return true; }
  bool Produce(FileHandle, CopySink*) override { return false; }
  bool Examine(const void* data, uint32_t count) override {
    m_wrong = m_wrong || count > m_bytes.size() - m_seen ||
              std::memcmp(m_bytes.data() + m_seen, data, count) != 0;
    if (!m_wrong) m_seen += count;
    return !m_wrong;
  }
  // True when every byte came, in order; starts afresh for the next file.
  bool Passed() override {
    bool passed = !m_wrong && m_seen == m_bytes.size();
    m_seen = 0;
    m_wrong = false;
    return passed;
  }

 private:
  std::string m_bytes;
  size_t m_seen = 0;
  bool m_wrong = false;
};

}  // namespace platform::testing

#endif  // VX_PLATFORM_TESTING_EXPECTED_BYTES_H_
