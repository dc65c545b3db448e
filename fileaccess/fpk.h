// CFPK: the one way the system reads files. Opened with OpenPack, an object
// reads either plain disk files (direct access mode, no pack name) or the
// entries of one pack archive (archive mode), always through OpenFile,
// GetSize, Read and CloseFile.
#ifndef VX_FILEACCESS_FPK_H_
#define VX_FILEACCESS_FPK_H_

#include <cstdint>
#include <memory>

#include "platform/file.h"

// Coding of a pack entry, chosen by its first four bytes.
enum PackCoding : int32_t { Stored = 0, Zlc2 = 1, Rle0 = 2 };

// One record of a pack's index, in its 36-byte in-memory form. Little-endian
// on disk, as on both targets.
struct PackEntry {
  uint32_t offset;  // first byte of the entry, from the start of the pack
  uint32_t size;    // length of a Stored entry
  char name[24];    // zero-terminated unless all 24 bytes are used
  uint16_t hash;    // HashName(name) in a hashed index, else 0
  uint16_t reserved;
};
static_assert(sizeof(PackEntry) == 36, "index records are 36 bytes in memory");

// Header of an Rle0 entry.
struct RleHeader {
  char magic[4];  // "RLE0"
  uint32_t reserved1;
  uint32_t packedLength;
  uint32_t unpackedLength;
  uint32_t method;  // 0: as is, 1: run-length coded
  uint32_t reserved2;
};
static_assert(sizeof(RleHeader) == 24, "the Rle0 header is 24 bytes");

class PackNameTable;

class CFPK {
 public:
  static constexpr int32_t kHistorySize = 4096;
  static constexpr int32_t kOutAreaSize = 65536;
  static constexpr int32_t kInBufferSize = 65536;
  static constexpr int32_t kNameSize = 256;

  CFPK();
  CFPK(const CFPK&) = delete;
  CFPK& operator=(const CFPK&) = delete;
  // Closes the open file or entry, then the pack.
  virtual ~CFPK();

  // Closes whatever is open first. Null or empty name: direct access mode,
  // always true. Otherwise opens that pack and reads its index; false leaves
  // the object idle.
  bool OpenPack(const char* packName);
  // Closes the open file or entry and the pack; the object becomes idle.
  void ClosePack();
  // Opens a disk file (direct access mode) or a pack entry (archive mode),
  // closing the one that is open first. False when it can't be opened, also
  // when memory for its buffers can't be had. Never throws.
  bool OpenFile(const char* name);
  // Reads up to count bytes of the open file or entry into dest; returns the
  // number delivered (0 with nothing open or on failure).
  int32_t Read(void* dest, int32_t count);
  // Size of the open file (low 32 bits) or entry; 0 with nothing open.
  int32_t GetSize();
  // The whole size of the open file or entry, or -1 with nothing open: lets
  // callers refuse a disk file that GetSize's 32 bits can't describe.
  int64_t GetFullSize();
  // Closes the open file or entry; a pack stays open.
  void CloseFile();

  // Record number of the entry called name, or -1 when the index has none.
  int32_t FindEntry(const char* name) const;
  // The 16-bit name hash of the pack index.
  static uint16_t HashName(const char* name);
  // XORs every 32-bit word of count records (and as much of the spare
  // record as the 8-byte units reach) with key.
  static void UnscrambleIndex(int32_t count, uint32_t key, PackEntry* records);
  // Decodes an Rle0 block of packedLength bytes at packed into dest, which
  // holds header->unpackedLength bytes. False for a bad header or method.
  static bool DecodeRle(uint8_t* dest, const uint8_t* packed, const RleHeader* header);

 private:
  friend class CFPKTestPeer;

  bool OpenPackFile(const char* packName);
  bool OpenEntry(const char* name);
  void CloseEntry();
  PackCoding ReadEntryHeader();
  bool AllocInput();
  void FreeInput();
  int32_t FillInput();
  bool AllocOutput();
  void FreeOutput();
  int32_t FillOutput();
  int32_t DecodeLz();
  int32_t ReadLz(uint8_t* dest, int32_t count);
  int32_t ReadStored(uint8_t* dest, int32_t count);
  int32_t ReadRle(uint8_t* dest, int32_t count);
  bool LoadRle();
  bool OpenZlc2Entry();
  bool OpenRleEntry();
  bool OpenStoredEntry();
  bool NameMatches(int32_t record, const char* name) const;
  int32_t ScanIndex(const char* name, uint16_t key) const;

  // Releases the name table of a pack (defined with the table).
  struct NameTableDeleter {
    void operator()(PackNameTable* table) const;
  };

  uint8_t m_direct;
  uint8_t m_hashed;
  PackCoding m_coding;
  char m_packName[kNameSize];
  char m_fileName[kNameSize];
  platform::File m_file;
  int32_t m_count;
  int32_t m_current;
  std::unique_ptr<uint8_t[]> m_rleData;
  int32_t m_rleSize;
  int32_t m_rlePos;
  std::unique_ptr<PackEntry[]> m_index;
  uint32_t m_size;
  uint8_t m_flags;
  uint8_t m_flagMask;
  RleHeader m_rleHeader;
  std::unique_ptr<uint8_t[]> m_outBuffer;
  uint8_t* m_outData;
  std::unique_ptr<uint8_t[]> m_inBuffer;
  int32_t m_outCapacity;
  int32_t m_inCapacity;
  int32_t m_outRead;
  int32_t m_inRead;
  int32_t m_outFill;
  int32_t m_inFill;

  // Archive-mode state beyond the fields above.
  uint32_t m_decoded = 0;     // Zlc2: bytes decoded so far, may pass m_size by one token
  uint32_t m_left = 0;        // Zlc2: bytes of the entry not yet delivered
  uint32_t m_storedLeft = 0;  // Stored: bytes of the entry not yet read from the pack
  int32_t m_rleFilled = 0;    // Rle0: bytes of m_rleData that decoding wrote; the rest read as 0
  bool m_inEnd = false;       // Zlc2: the pack file has no more input
  bool m_headerCut = false;   // the entry's header runs past the end of the pack file
  // Lookup by name without walks or scans, built at a pack's second lookup
  // (never again in this pack when memory for it can't be had).
  mutable std::unique_ptr<PackNameTable, NameTableDeleter> m_names;
  mutable int32_t m_lookups = 0;
  mutable bool m_namesFailed = false;
};

#endif  // VX_FILEACCESS_FPK_H_
