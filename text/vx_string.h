// CVxString: the text value of the installer. A small object that shares a
// reference-counted, copy-on-write buffer with its copies, plus a line cursor
// and a token cursor for scanning. Text is zero-terminated code page 932;
// every position, length and count is in bytes.
#ifndef VX_TEXT_VX_STRING_H_
#define VX_TEXT_VX_STRING_H_

#include <cstdint>
#include <type_traits>

class CVxString {
 public:
  // The shared character buffer. Built in one of four forms, each with
  // m_refCount 0; the string that takes it raises the count to 1.
  class _STRING_BUFFER {
   public:
    // Empty: m_data is the shared empty text, capacity and length 0.
    _STRING_BUFFER();
    // A copy of a zero-terminated text (null or empty gives the empty form).
    explicit _STRING_BUFFER(const char* text);
    // Room for n bytes and a terminator, holding the empty text (n = 0 gives
    // the empty form).
    explicit _STRING_BUFFER(int32_t room);
    // A private copy of all m_capacity + 1 bytes of another buffer.
    explicit _STRING_BUFFER(const _STRING_BUFFER& other);
    _STRING_BUFFER& operator=(const _STRING_BUFFER&) = delete;
    // Frees the character block unless it is the shared empty text.
    virtual ~_STRING_BUFFER();

    // Drops one reference; destroys the buffer when none is left. Returns
    // the count after the decrement (0 when destroyed).
    int32_t Release();

    char* m_data;
    int32_t m_capacity;
    int32_t m_length;
    int32_t m_refCount;

   private:
    friend class CVxString;
    // Set once GetBuffer has handed out a writable pointer to m_data: from
    // then on m_length may be stale and GetLength counts again. A buffer
    // never handed out holds exactly the text it was built with, so its
    // m_length is already the count.
    bool m_handedOut = false;
  };

  // The empty string.
  CVxString();
  // A copy of text; null gives the empty string.
  CVxString(const char* text);  // NOLINT(google-explicit-constructor): text values convert freely.
  // Shares other's buffer; cursors 0.
  CVxString(const CVxString& other);
  virtual ~CVxString();

  // Shares source's buffer; cursors 0. Self-assignment keeps the text.
  CVxString& operator=(CVxString source);
  // Takes a private copy of source's buffer; cursors 0.
  CVxString& AssignCopy(const CVxString& source);
  // Becomes the empty string; cursors 0.
  void Empty();
  // Discards the text and takes an empty buffer with room for n bytes and a
  // terminator; cursors 0. n is not negative. Returns true.
  bool Reserve(int32_t n);
  // Replaces the buffer by a private copy of it, shared or not; cursors 0.
  bool MakeUnique();

  // Counts the bytes up to the terminator and stores the count in the buffer.
  int32_t GetLength() const;
  // As GetLength; true when the length is 0.
  bool IsEmpty() const;
  // The byte at index i, 0 <= i <= length (the terminator at length).
  char GetAt(int32_t i) const { return m_buffer->m_data[i]; }
  // A writable pointer to the text; a shared buffer is first copied (cursors
  // 0). The caller writes at most the capacity and a terminator.
  char* GetBuffer();

  // Appends other's text; see the copy-on-write rules in the source.
  CVxString& operator+=(CVxString other);
  // The first n bytes (n >= the stored length shares this buffer).
  CVxString Left(int32_t n) const;
  // The bytes from pos to the end, 0 <= pos <= length.
  CVxString Mid(int32_t pos) const;
  // count bytes from pos (count <= 0 gives the empty string); the caller
  // keeps pos + count <= length.
  CVxString Mid(int32_t pos, int32_t count) const;

  // printf-style formatting of fmt with the arguments (texts and integers
  // only) into at most 1023 characters; an empty result empties the string.
  template <typename... Args>
  CVxString& Format(CVxString fmt, Args... args) {
    static_assert((... && (std::is_pointer_v<Args> || std::is_integral_v<Args>)),
                  "Format takes texts and integers only");
    return FormatArgs(&fmt, args...);
  }

  // Byte index of the first single-byte character ch (below 0x80) at or
  // after start, stepping over double-byte characters; -1 when none.
  int32_t Find(char ch, int32_t start) const;
  // The first line; starts the line cursor.
  CVxString GetFirstLine();
  // The line at the line cursor; moves the cursor.
  CVxString GetNextLine();
  // True once the line cursor has passed the end of the text.
  bool IsLineEnd() const;
  // The first token of the characters not in delims; starts the token cursor.
  CVxString GetFirstToken(CVxString delims);
  // The token at the token cursor; moves the cursor. Empty when none is left.
  CVxString GetNextToken(CVxString delims);
  // Removes every leading and trailing character that set holds.
  CVxString& Trim(CVxString set);
  // Plain lexicographic order of unsigned bytes; the empty string first.
  bool operator<(CVxString other) const;

  // Loads a whole text file (from disk with a null or empty pack name, else
  // an entry of that pack) up to its first zero byte. False, and the string
  // empty, when the file can't be read whole.
  bool LoadFile(const char* fileName, const char* packName);

 private:
  friend class CVxStringTestPeer;

  // Takes a new buffer (already built, m_refCount 0) as this string's only
  // reference and releases the old one; the cursors are left alone.
  void Attach(_STRING_BUFFER* buffer);
  // A string that takes a new buffer (already built, m_refCount 0); cursors 0.
  struct AdoptTag {};
  CVxString(AdoptTag, _STRING_BUFFER* buffer);
  CVxString& FormatArgs(const CVxString* fmt, ...);

  _STRING_BUFFER* m_buffer;
  int32_t m_tokenPos;
  int32_t m_linePos;
};

#endif  // VX_TEXT_VX_STRING_H_
