// Scanning a CVxString: character search, the line cursor, the tokenizer,
// trimming and the byte order. Text is read as characters of the process's
// code page: a lead byte and the byte after it are one character, so a trail
// byte that looks like an ASCII character (0x5C, a backslash) never matches
// on its own. A lead byte just before the terminator counts as a character
// of its own, so no walk ever reads past the terminator.
#include <cstring>

#include "platform/text.h"
#include "text/vx_string.h"

namespace {

// Length in bytes of the character at p (p is not at the terminator).
inline int32_t CharLength(const unsigned char* p) {
  return (platform::IsLeadByte(p[0]) && p[1] != 0) ? 2 : 1;
}

// Whether the character of n bytes at p occurs in the zero-terminated set.
bool InSet(const unsigned char* p, int32_t n, const unsigned char* set) {
  while (*set != 0) {
    const int32_t m = CharLength(set);
    if (m == n && set[0] == p[0] && (n == 1 || set[1] == p[1])) return true;
    set += m;
  }
  return false;
}

// Index of the first character at or after i whose membership in set is not
// inSet (the terminator's index when every character is).
int32_t SkipWhile(const unsigned char* text, int32_t i, const unsigned char* set, bool inSet) {
  while (text[i] != 0) {
    const int32_t n = CharLength(text + i);
    if (InSet(text + i, n, set) != inSet) break;
    i += n;
  }
  return i;
}

const unsigned char* Bytes(const char* text) {
  return reinterpret_cast<const unsigned char*>(text);
}

}  // namespace

int32_t CVxString::Find(char ch, int32_t start) const {
  if (IsEmpty()) return -1;
  if (start < 0 || start > GetLength()) return -1;
  const unsigned char* text = Bytes(m_buffer->m_data);
  const unsigned char wanted = static_cast<unsigned char>(ch);
  for (int32_t i = start; text[i] != 0;) {
    const int32_t n = CharLength(text + i);
    if (n == 1 && text[i] == wanted) return i;
    i += n;
  }
  return -1;
}

CVxString CVxString::GetFirstLine() {
  if (IsEmpty()) return CVxString();
  const int32_t length = GetLength();
  const int32_t i = Find('\n', 0);
  if (i == -1) {
    m_linePos = length;
    return *this;
  }
  m_linePos = i + 1;
  int32_t e = i;
  if (e > 0 && GetAt(e - 1) == '\r') --e;
  return e == 0 ? CVxString() : Left(e);
}

CVxString CVxString::GetNextLine() {
  const int32_t length = GetLength();
  if (m_linePos == length) m_linePos = length + 1;
  if (m_linePos > length) return CVxString();
  const int32_t d = m_linePos;
  const int32_t i = Find('\n', d);
  if (i == -1) {
    m_linePos = length;
    return Mid(d);
  }
  m_linePos = i + 1;
  int32_t e = i - d;
  if (e > 0 && GetAt(i - 1) == '\r') --e;
  return e == 0 ? CVxString() : Mid(d, e);
}

bool CVxString::IsLineEnd() const { return GetLength() < m_linePos; }

CVxString CVxString::GetFirstToken(CVxString delims) {
  const unsigned char* text = Bytes(m_buffer->m_data);
  const unsigned char* set = Bytes(delims.m_buffer->m_data);
  m_tokenPos = SkipWhile(text, 0, set, true);
  return GetNextToken(delims);
}

CVxString CVxString::GetNextToken(CVxString delims) {
  if (IsEmpty() || delims.IsEmpty()) return CVxString();
  const int32_t length = GetLength();
  if (m_tokenPos > length) return CVxString();
  const unsigned char* text = Bytes(m_buffer->m_data);
  const unsigned char* set = Bytes(delims.m_buffer->m_data);
  const int32_t start = m_tokenPos;
  const int32_t end = SkipWhile(text, start, set, false);
  if (text[end] == 0) {
    m_tokenPos = length + 1;
    return Mid(start);
  }
  m_tokenPos = SkipWhile(text, end, set, true);
  return Mid(start, end - start);
}

CVxString& CVxString::Trim(CVxString set) {
  if (IsEmpty()) return *this;
  MakeUnique();
  const unsigned char* text = Bytes(m_buffer->m_data);
  const unsigned char* members = Bytes(set.m_buffer->m_data);
  const int32_t q = SkipWhile(text, 0, members, true);
  if (text[q] == 0) {
    Empty();
    return *this;
  }
  // s: the byte just after the last character that set does not hold. The
  // walk goes forward from q, which finds the character boundaries exactly.
  int32_t s = q;
  for (int32_t i = q; text[i] != 0;) {
    const int32_t n = CharLength(text + i);
    i += n;
    if (!InSet(text + i - n, n, members)) s = i;
  }
  return *this = Mid(q, s - q);
}

bool CVxString::operator<(CVxString other) const {
  if (other.IsEmpty()) return false;
  if (IsEmpty()) return true;
  // strcmp compares the bytes as unsigned char.
  return std::strcmp(m_buffer->m_data, other.m_buffer->m_data) < 0;
}
