// Helpers for the pack tests: packs written to temporary files, and whole
// entries read back through CFPK.
#ifndef VX_FILEACCESS_PACK_TESTING_H_
#define VX_FILEACCESS_PACK_TESTING_H_

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "fileaccess/fpk.h"
#include "fileaccess/pack_writer.h"

namespace pack_testing {

// A file of the given bytes in the temporary folder, removed again with the
// object. path() is plain ASCII, so it is the same text in code page 932.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    // Test cases run as processes side by side: a random tag per process.
    static const unsigned tag = std::random_device{}();
    static std::atomic<int> serial{0};
    m_path = std::filesystem::temp_directory_path() /
             ("vx_pack_test_" + std::to_string(tag) + "_" + std::to_string(serial++) + ".pack");
    std::ofstream(m_path, std::ios::binary).write(bytes.data(), bytes.size());
  }
  ~TempFile() {
    std::error_code ignored;
    std::filesystem::remove(m_path, ignored);
  }
  std::string path() const { return m_path.string(); }

 private:
  std::filesystem::path m_path;
};

inline std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

inline std::string Le32(uint32_t v) {
  return Bytes({static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF),
                static_cast<int>((v >> 16) & 0xFF), static_cast<int>(v >> 24)});
}

inline std::string Zlc2Head(uint32_t size) { return std::string("ZLC2", 4) + Le32(size); }

inline std::string Rle0Head(uint32_t packed, uint32_t unpacked, uint32_t method) {
  return std::string("RLE0", 4) + Le32(0) + Le32(packed) + Le32(unpacked) + Le32(method) + Le32(0);
}

// Reads the open entry in pieces of piece bytes until Read delivers nothing.
inline std::string ReadAll(CFPK& fpk, int32_t piece) {
  std::string out;
  std::vector<char> buffer(static_cast<size_t>(piece));
  for (;;) {
    int32_t n = fpk.Read(buffer.data(), piece);
    if (n <= 0) break;
    out.append(buffer.data(), static_cast<size_t>(n));
  }
  return out;
}

}  // namespace pack_testing

#endif  // VX_FILEACCESS_PACK_TESTING_H_
