// A settings store: named values below one base key, and at most one sub-key
// entered below it. Value operations act on the current key, which is the
// base key or the entered sub-key. Every operation reports success as its
// boolean result.
#ifndef VX_PROFILE_PROFILE_H_
#define VX_PROFILE_PROFILE_H_

#include <cstddef>
#include <cstdint>

class CProfile {
 public:
  virtual ~CProfile() {}

  // Creates (or opens) the key subPath below the store's base, creating every
  // missing key along it, with full access. A null subPath names the base.
  virtual bool Create(const char* subPath) = 0;
  // Opens the existing key subPath below the store's base with full access.
  virtual bool Open(const char* subPath) = 0;
  // Closes the open keys; the store is closed afterwards.
  virtual void Close() = 0;

  // Reads the string value name into dest, which holds size bytes. Fails
  // without writing past dest when the value is missing, is not a plain
  // string, or does not fit with its terminating zero; dest then holds no
  // text of the value.
  virtual bool ReadString(const char* name, char* dest, uint32_t size) = 0;
  // Reads the 32-bit value name into *dest; anything but a 4-byte 32-bit
  // value fails and leaves *dest alone.
  virtual bool ReadDword(const char* name, uint32_t* dest) = 0;
  // Reads the binary value name into dest, which holds *size bytes. With
  // dest null, *size gets the value's size; when *size is too small the call
  // fails with *size set to the size needed; on other failures *size is 0.
  virtual bool ReadBinary(const char* name, void* dest, uint32_t* size) = 0;

  // Stores text (not empty) as the string value name, terminator included.
  virtual bool WriteString(const char* name, const char* text) = 0;
  // Stores value as the 32-bit value name.
  virtual bool WriteDword(const char* name, uint32_t value) = 0;
  // Stores size bytes of data (neither null nor empty) as the binary value name.
  virtual bool WriteBinary(const char* name, const void* data, uint32_t size) = 0;

  // Creates or opens the sub-key name below the base key and makes it the
  // current key. Only one level: fails while a sub-key is entered.
  virtual bool EnterSubKey(const char* name) = 0;
  // Closes the entered sub-key; the base key is current again.
  virtual bool LeaveSubKey() = 0;

  // ReadString into a character array, bounded by the array's size.
  template <size_t N>
  bool ReadString(const char* name, char (&dest)[N]) {
    static_assert(N <= UINT32_MAX);
    return ReadString(name, dest, static_cast<uint32_t>(N));
  }
};

#endif  // VX_PROFILE_PROFILE_H_
