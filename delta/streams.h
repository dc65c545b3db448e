// Where a delta's bytes come from and go to: a sequential input (the delta
// file), a base read at any offset (the installed file) and an output (the
// new file). Files go through the platform layer; memory serves tools and
// tests.
#ifndef VX_DELTA_STREAMS_H_
#define VX_DELTA_STREAMS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/sha256.h"

namespace delta {

// Bytes read in order.
class Input {
 public:
  virtual ~Input() = default;
  // Reads up to count bytes into dest; *done 0 at the end. False on failure.
  virtual bool Read(void* dest, uint32_t count, uint32_t* done) = 0;
};

// Bytes read at any offset.
class Base {
 public:
  virtual ~Base() = default;
  virtual uint64_t Size() const = 0;
  // Reads exactly count bytes from offset; false when they can't all be read.
  virtual bool ReadAt(uint64_t offset, void* dest, uint32_t count) = 0;
};

// Bytes written in order.
class Output {
 public:
  virtual ~Output() = default;
  // Writes count bytes; false when they can't all be written.
  virtual bool Write(const void* data, uint32_t count) = 0;
};

class MemoryInput : public Input {
 public:
  MemoryInput(const void* data, size_t size)
      : m_data(static_cast<const uint8_t*>(data)), m_size(size) {}
  bool Read(void* dest, uint32_t count, uint32_t* done) override;

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_at = 0;
};

class MemoryBase : public Base {
 public:
  MemoryBase(const void* data, size_t size)
      : m_data(static_cast<const uint8_t*>(data)), m_size(size) {}
  uint64_t Size() const override { return m_size; }
  bool ReadAt(uint64_t offset, void* dest, uint32_t count) override;

 private:
  const uint8_t* m_data;
  size_t m_size;
};

class StringOutput : public Output {
 public:
  explicit StringOutput(std::string* out) : m_out(out) {}
  bool Write(const void* data, uint32_t count) override {
    m_out->append(static_cast<const char*>(data), count);
    return true;
  }

 private:
  std::string* m_out;
};

// Takes every byte and keeps none: for checking that a delta applies.
class NullOutput : public Output {
 public:
  bool Write(const void*, uint32_t) override { return true; }
};

// An open file read in order from where it stands. Does not own the file.
class FileInput : public Input {
 public:
  explicit FileInput(platform::FileHandle file) : m_file(file) {}
  bool Read(void* dest, uint32_t count, uint32_t* done) override {
    return platform::ReadBytes(m_file, dest, count, done);
  }

 private:
  platform::FileHandle m_file;
};

// An open file of known size read at any offset (64-bit offsets on both
// builds). Does not own the file.
class FileBase : public Base {
 public:
  FileBase(platform::FileHandle file, uint64_t size) : m_file(file), m_size(size) {}
  uint64_t Size() const override { return m_size; }
  bool ReadAt(uint64_t offset, void* dest, uint32_t count) override;

 private:
  platform::FileHandle m_file;
  uint64_t m_size;
  uint64_t m_position = UINT64_MAX;  // where the file stands, if known
};

// Passes bytes on to another input and hashes and counts what it passes.
class HashingInput : public Input {
 public:
  explicit HashingInput(Input* in) : m_in(in) {}
  bool Read(void* dest, uint32_t count, uint32_t* done) override;
  // Reads the rest of the input (through a small buffer) so that the count
  // and digest cover all of it; false when a read fails.
  bool Drain();
  uint64_t count() const { return m_count; }
  platform::Sha256Digest Finish() { return m_hash.Finish(); }

 private:
  Input* m_in;
  platform::Sha256 m_hash;
  uint64_t m_count = 0;
};

// Passes bytes on to another output and hashes and counts what it passes.
class HashingOutput : public Output {
 public:
  explicit HashingOutput(Output* out) : m_out(out) {}
  bool Write(const void* data, uint32_t count) override {
    m_hash.Update(data, count);
    m_count += count;
    return m_out->Write(data, count);
  }
  uint64_t count() const { return m_count; }
  platform::Sha256Digest Finish() { return m_hash.Finish(); }

 private:
  Output* m_out;
  platform::Sha256 m_hash;
  uint64_t m_count = 0;
};

}  // namespace delta

#endif  // VX_DELTA_STREAMS_H_
