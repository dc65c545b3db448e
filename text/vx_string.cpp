// The core of CVxString: the shared buffer, sharing and copy-on-write,
// construction and assignment, length, the writable pointer, appending,
// substrings and formatting. Every operation that replaces a string's buffer
// builds the new buffer first and only then lets go of the old one, so an
// allocation failure (std::bad_alloc, passed through) leaves the string as it
// was.
#include "text/vx_string.h"

#include <cstdarg>
#include <cstring>
#include <limits>
#include <new>

#include "platform/text.h"

namespace {

// The one text of every buffer with capacity 0. Read-only storage: it is
// never written and never freed.
const char kEmptyText[1] = {'\0'};

char* SharedEmptyText() { return const_cast<char*>(kEmptyText); }

// Room for n bytes must fit the signed 32-bit size with its terminator; a
// larger request can't be met and fails as an allocation does.
int32_t CheckedRoom(int64_t n) {
  if (n < 0 || n > std::numeric_limits<int32_t>::max() - 1) throw std::bad_alloc();
  return static_cast<int32_t>(n);
}

}  // namespace

// --- _STRING_BUFFER ---------------------------------------------------------

CVxString::_STRING_BUFFER::_STRING_BUFFER()
    : m_data(SharedEmptyText()), m_capacity(0), m_length(0), m_refCount(0) {}

CVxString::_STRING_BUFFER::_STRING_BUFFER(const char* text)
    : m_data(SharedEmptyText()), m_capacity(0), m_length(0), m_refCount(0) {
  if (text == nullptr) return;
  const int32_t n = CheckedRoom(static_cast<int64_t>(std::strlen(text)));
  if (n == 0) return;
  m_data = new char[static_cast<size_t>(n) + 1];
  std::memcpy(m_data, text, static_cast<size_t>(n) + 1);
  m_capacity = n;
  m_length = n;
}

CVxString::_STRING_BUFFER::_STRING_BUFFER(int32_t room)
    : m_data(SharedEmptyText()), m_capacity(0), m_length(0), m_refCount(0) {
  if (room <= 0) return;
  CheckedRoom(room);
  m_data = new char[static_cast<size_t>(room) + 1];
  m_data[0] = '\0';
  m_data[room] = '\0';
  m_capacity = room;
}

CVxString::_STRING_BUFFER::_STRING_BUFFER(const _STRING_BUFFER& other)
    : m_data(SharedEmptyText()),
      m_capacity(0),
      m_length(other.m_length),
      m_refCount(0),
      m_handedOut(other.m_handedOut) {
  if (other.m_capacity <= 0) {
    m_length = 0;
    return;
  }
  const size_t block = static_cast<size_t>(other.m_capacity) + 1;
  m_data = new char[block];
  std::memcpy(m_data, other.m_data, block);
  m_capacity = other.m_capacity;
}

CVxString::_STRING_BUFFER::~_STRING_BUFFER() {
  if (m_data != kEmptyText) delete[] m_data;
}

int32_t CVxString::_STRING_BUFFER::Release() {
  if (--m_refCount > 0) return m_refCount;
  delete this;
  return 0;
}

// --- Construction and assignment --------------------------------------------

CVxString::CVxString(AdoptTag, _STRING_BUFFER* buffer)
    : m_buffer(buffer), m_tokenPos(0), m_linePos(0) {
  ++m_buffer->m_refCount;
}

CVxString::CVxString() : CVxString(AdoptTag{}, new _STRING_BUFFER()) {}

CVxString::CVxString(const char* text) : CVxString(AdoptTag{}, new _STRING_BUFFER(text)) {}

CVxString::CVxString(const CVxString& other)
    : m_buffer(other.m_buffer), m_tokenPos(0), m_linePos(0) {
  ++m_buffer->m_refCount;
}

CVxString::~CVxString() { m_buffer->Release(); }

void CVxString::Attach(_STRING_BUFFER* buffer) {
  ++buffer->m_refCount;
  _STRING_BUFFER* old = m_buffer;
  m_buffer = buffer;
  old->Release();
}

CVxString& CVxString::operator=(CVxString source) {
  // source holds its own reference, so sharing our own buffer frees nothing.
  ++source.m_buffer->m_refCount;
  m_buffer->Release();
  m_buffer = source.m_buffer;
  m_tokenPos = 0;
  m_linePos = 0;
  return *this;
}

CVxString& CVxString::AssignCopy(const CVxString& source) {
  Attach(new _STRING_BUFFER(*source.m_buffer));
  m_tokenPos = 0;
  m_linePos = 0;
  return *this;
}

void CVxString::Empty() {
  Attach(new _STRING_BUFFER());
  m_tokenPos = 0;
  m_linePos = 0;
}

bool CVxString::Reserve(int32_t n) {
  Attach(new _STRING_BUFFER(n));
  m_tokenPos = 0;
  m_linePos = 0;
  return true;
}

bool CVxString::MakeUnique() {
  Attach(new _STRING_BUFFER(*m_buffer));
  m_tokenPos = 0;
  m_linePos = 0;
  return true;
}

// --- Length and access ------------------------------------------------------

int32_t CVxString::GetLength() const {
  // Only a block that was handed out for writing can hold a text other than
  // the one m_length was counted from; the others need no second count,
  // which keeps walking a long text by lines linear.
  if (m_buffer->m_handedOut) {
    m_buffer->m_length = static_cast<int32_t>(std::strlen(m_buffer->m_data));
  }
  return m_buffer->m_length;
}

bool CVxString::IsEmpty() const { return GetLength() == 0; }

char* CVxString::GetBuffer() {
  if (m_buffer->m_refCount > 1) MakeUnique();
  // The shared empty text is never written, so handing it out changes nothing.
  if (m_buffer->m_capacity > 0) m_buffer->m_handedOut = true;
  return m_buffer->m_data;
}

// --- Building text ----------------------------------------------------------

CVxString& CVxString::operator+=(CVxString other) {
  if (other.IsEmpty()) return *this;
  if (IsEmpty()) return *this = other;
  const int32_t length = GetLength();
  const int32_t otherLength = other.GetLength();
  // Room is the sum of both capacities; a writer that broke GetBuffer's
  // contract could have left a text longer than its room, so never less
  // than both texts.
  int64_t room = static_cast<int64_t>(m_buffer->m_capacity) + other.m_buffer->m_capacity;
  const int64_t needed = static_cast<int64_t>(length) + otherLength;
  if (room < needed) room = needed;
  _STRING_BUFFER* joined = new _STRING_BUFFER(CheckedRoom(room));
  std::memcpy(joined->m_data, m_buffer->m_data, static_cast<size_t>(length));
  std::memcpy(joined->m_data + length, other.m_buffer->m_data,
              static_cast<size_t>(otherLength) + 1);
  joined->m_length = length + otherLength;
  Attach(joined);
  return *this;
}

namespace {

// A new buffer with room for count bytes holding the count bytes at text and
// a terminator; its length is counted up to the first zero byte.
CVxString::_STRING_BUFFER* CopyOut(const char* text, int32_t count) {
  auto* buffer = new CVxString::_STRING_BUFFER(count);
  std::memcpy(buffer->m_data, text, static_cast<size_t>(count));
  buffer->m_data[count] = '\0';
  buffer->m_length = static_cast<int32_t>(std::strlen(buffer->m_data));
  return buffer;
}

}  // namespace

CVxString CVxString::Left(int32_t n) const {
  if (n <= 0) return CVxString();
  // Compared with the stored length, not a fresh count.
  if (n >= m_buffer->m_length) return *this;
  return CVxString(AdoptTag{}, CopyOut(m_buffer->m_data, n));
}

CVxString CVxString::Mid(int32_t pos) const {
  const int32_t length = GetLength();
  if (pos >= length) return CVxString();
  if (pos < 0) pos = 0;
  return CVxString(AdoptTag{}, CopyOut(m_buffer->m_data + pos, length - pos));
}

CVxString CVxString::Mid(int32_t pos, int32_t count) const {
  // Callers keep pos + count within the text; the block's room bounds the
  // copy all the same.
  if (pos < 0) pos = 0;
  const int32_t room = m_buffer->m_capacity;
  if (count <= 0 || pos >= room) return CVxString();
  if (count > room - pos) count = room - pos;
  return CVxString(AdoptTag{}, CopyOut(m_buffer->m_data + pos, count));
}

CVxString& CVxString::FormatArgs(const CVxString* fmt, ...) {
  if (fmt->IsEmpty()) {
    Empty();
    return *this;
  }
  // The arguments may point into this string's own text: format into the
  // work area first, then take the result.
  char area[platform::kFormatAreaSize];
  va_list args;
  va_start(args, fmt);
  platform::FormatV(area, fmt->m_buffer->m_data, args);
  va_end(args);
  if (area[0] == '\0') {
    Empty();
    return *this;
  }
  return *this = CVxString(area);
}
