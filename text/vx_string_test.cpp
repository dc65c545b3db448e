// Sharing, copy-on-write and the building operations of CVxString, observed
// through its buffer and through a count of the program's allocations.
#include "text/vx_string.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {
int g_objects = 0;  // operator new: buffer objects
int g_blocks = 0;   // operator new[]: character blocks
bool g_fail = false;

void* Allocate(std::size_t n, int* counter) {
  if (g_fail) throw std::bad_alloc();
  ++*counter;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* AllocateNoThrow(std::size_t n) { return g_fail ? nullptr : std::malloc(n == 0 ? 1 : n); }
}  // namespace

// clang-format off
void* operator new(std::size_t n) { return Allocate(n, &g_objects); }
void* operator new[](std::size_t n) { return Allocate(n, &g_blocks); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return AllocateNoThrow(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return AllocateNoThrow(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
// clang-format on

class CVxStringTestPeer {
 public:
  static CVxString::_STRING_BUFFER* Buffer(const CVxString& s) { return s.m_buffer; }
  static int32_t LinePos(const CVxString& s) { return s.m_linePos; }
};

namespace {
using Peer = CVxStringTestPeer;

std::string Text(CVxString s) { return s.GetBuffer(); }
const char* Data(const CVxString& s) { return Peer::Buffer(s)->m_data; }

TEST(VxStringTest, EmptyStringsShareTheStaticTextAndAllocateNoBlock) {
  g_blocks = 0;
  CVxString a, b(nullptr), c(""), d("x"), e("y");
  d.Empty();
  e.Reserve(0);
  const int blocks = g_blocks;
  EXPECT_EQ(blocks, 2);  // "x" and "y" only
  for (const CVxString* s : {&b, &c, &d, &e}) EXPECT_EQ(Data(*s), Data(a));
  EXPECT_EQ(a.GetBuffer(), Data(a));
}

TEST(VxStringTest, CopiesShareTheBufferUntilOneIsWritten) {
  CVxString a("abc"), c("zz");
  g_objects = g_blocks = 0;
  CVxString b(a);
  c = a;
  c = c;
  const int allocations = g_objects + g_blocks;
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(Peer::Buffer(a)->m_refCount, 3);
  b.GetBuffer()[0] = 'X';
  c += "d";
  EXPECT_EQ(Text(a) + Text(b) + Text(c), "abcXbcabcd");
  EXPECT_EQ(Peer::Buffer(a)->m_refCount, 1);
}

TEST(VxStringTest, WritesThroughGetBufferAndAppendsKeepTheirRoom) {
  CVxString s("ab\ncdef"), empty;
  s.GetFirstLine();
  char* p = s.GetBuffer();
  EXPECT_EQ(s.GetBuffer(), p);  // unshared: same pointer, cursors kept
  p[5] = '\0';
  EXPECT_EQ(s.GetLength(), 5);  // counted again after the write
  s += "xy";
  EXPECT_EQ(Text(s), "ab\ncdxy");
  EXPECT_EQ(Peer::Buffer(s)->m_capacity, 9);  // the sum of both capacities
  EXPECT_EQ(Peer::LinePos(s), 3);             // appending to a non-empty string keeps the cursors
  EXPECT_EQ(Peer::Buffer(s.Left(3))->m_capacity, 3);
  EXPECT_EQ(Peer::Buffer(s.Left(7)), Peer::Buffer(s));
  EXPECT_EQ(Text(s.Mid(2)) + Text(s.Mid(1, 3)) + Text(s.Mid(7)), "\ncdxyb\nc");
  empty += s;
  EXPECT_EQ(Peer::Buffer(empty), Peer::Buffer(s));
  s += s;
  EXPECT_EQ(Text(s), "ab\ncdxyab\ncdxy");
}

TEST(VxStringTest, FormatJoinsAndCuts) {
  CVxString s("old");
  s.Format("%s\\%s", "C:\\dir", "file");
  s.Format("%s", Data(s));  // an argument inside the string's own text
  EXPECT_EQ(Text(s), "C:\\dir\\file");
  s.Format("%s", std::string(2000, 'x').c_str());
  EXPECT_EQ(s.GetLength(), 1023);
  s.Format("%s", "");
  EXPECT_TRUE(s.IsEmpty());
}

TEST(VxStringTest, AllocationFailureKeepsTheOldValue) {
  // Every argument is built beforehand: only the operation itself allocates.
  CVxString s("abc"), tail("def"), shared(s), format("%s!"), blanks(" ");
  CVxString::_STRING_BUFFER* buffer = Peer::Buffer(s);
  int thrown = 0;
  for (int op = 0; op < 6; ++op) {
    g_fail = true;
    try {
      if (op == 0) s += tail;
      if (op == 1) s.AssignCopy(tail);
      if (op == 2) s.Reserve(10);
      if (op == 3) s.Format(format, "x");
      if (op == 4) s.GetBuffer();
      if (op == 5) s.Trim(blanks);
    } catch (const std::bad_alloc&) {
      ++thrown;
    }
    g_fail = false;
  }
  EXPECT_EQ(thrown, 6);
  EXPECT_EQ(Peer::Buffer(s), buffer);
  EXPECT_EQ(Text(shared), "abc");
}

}  // namespace
