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
bool g_failAllocations = false;

void* Allocate(std::size_t n, int* counter) {
  if (g_failAllocations) throw std::bad_alloc();
  ++*counter;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return Allocate(n, &g_objects); }
void* operator new[](std::size_t n) { return Allocate(n, &g_blocks); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return g_failAllocations ? nullptr : std::malloc(n == 0 ? 1 : n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return g_failAllocations ? nullptr : std::malloc(n == 0 ? 1 : n);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

class CVxStringTestPeer {
 public:
  static CVxString::_STRING_BUFFER* Buffer(const CVxString& s) { return s.m_buffer; }
  static int32_t LinePos(const CVxString& s) { return s.m_linePos; }
};

namespace {
using Peer = CVxStringTestPeer;

std::string Text(CVxString s) { return s.GetBuffer(); }
const char* Data(const CVxString& s) { return Peer::Buffer(s)->m_data; }

// Runs f with every allocation failing; true when std::bad_alloc came out.
template <typename F>
bool FailsAllocating(F f) {
  g_failAllocations = true;
  bool thrown = false;
  try {
    f();
  } catch (const std::bad_alloc&) {
    thrown = true;
  }
  g_failAllocations = false;
  return thrown;
}

TEST(VxStringTest, EmptyStringsShareTheStaticTextAndAllocateNoBlock) {
  g_blocks = 0;
  CVxString a, b(nullptr), c(""), d("x"), e("y");
  d.Empty();
  e.Reserve(0);
  const int blocks = g_blocks;
  EXPECT_EQ(blocks, 2);  // "x" and "y" only
  for (const CVxString* s : {&b, &c, &d, &e}) EXPECT_EQ(Data(*s), Data(a));
  EXPECT_NE(Peer::Buffer(a), Peer::Buffer(b));  // each has a buffer object of its own
  EXPECT_EQ(a.GetBuffer(), Data(a));
  EXPECT_TRUE(a.IsEmpty());
}

TEST(VxStringTest, CopiesShareTheBufferUntilOneIsWritten) {
  CVxString a("abc"), c("zz");
  g_objects = g_blocks = 0;
  CVxString b(a);
  c = a;
  const int allocations = g_objects + g_blocks;
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(Peer::Buffer(b), Peer::Buffer(a));
  EXPECT_EQ(Peer::Buffer(a)->m_refCount, 3);

  b.GetBuffer()[0] = 'X';
  c += "d";
  EXPECT_EQ(Text(a), "abc");
  EXPECT_EQ(Text(b), "Xbc");
  EXPECT_EQ(Text(c), "abcd");
  EXPECT_EQ(Peer::Buffer(a)->m_refCount, 1);
}

TEST(VxStringTest, GetBufferOfAnUnsharedStringKeepsPointerAndCursors) {
  CVxString s("ab\ncdef");
  s.GetFirstLine();
  char* p = s.GetBuffer();
  EXPECT_EQ(s.GetBuffer(), p);
  EXPECT_EQ(Peer::LinePos(s), 3);
  // A text written in place is counted again, also after an earlier count.
  p[5] = '\0';
  EXPECT_EQ(s.GetLength(), 5);

  s.Reserve(260);
  std::strcpy(s.GetBuffer(), "C:\\x");
  EXPECT_EQ(s.GetLength(), 4);
  EXPECT_EQ(Text(s.Left(3)), "C:\\");
}

TEST(VxStringTest, SelfAssignmentKeepsTextAndBufferAndResetsCursors) {
  CVxString s("a\nb");
  s.GetFirstLine();
  CVxString::_STRING_BUFFER* buffer = Peer::Buffer(s);
  s = s;
  EXPECT_EQ(Peer::Buffer(s), buffer);
  EXPECT_EQ(Peer::LinePos(s), 0);
  EXPECT_EQ(Text(s), "a\nb");
}

TEST(VxStringTest, SubstringsTakeRoomForTheirOwnTextOnly) {
  CVxString s("abcdef");
  EXPECT_TRUE(s.Left(0).IsEmpty());
  EXPECT_EQ(Text(s.Left(3)), "abc");
  EXPECT_EQ(Peer::Buffer(s.Left(3))->m_capacity, 3);
  EXPECT_EQ(Peer::Buffer(s.Left(6)), Peer::Buffer(s));
  EXPECT_TRUE(s.Mid(6).IsEmpty());
  EXPECT_EQ(Text(s.Mid(2)), "cdef");
  EXPECT_EQ(Text(s.Mid(1, 3)), "bcd");
  EXPECT_TRUE(s.Mid(1, 0).IsEmpty());
}

TEST(VxStringTest, AppendingBuildsOneBufferOfBothCapacities) {
  CVxString ab("ab"), empty;
  ab += empty;
  EXPECT_EQ(Text(ab), "ab");
  empty += ab;
  EXPECT_EQ(Peer::Buffer(empty), Peer::Buffer(ab));

  CVxString roomy;
  roomy.Reserve(10);
  std::strcpy(roomy.GetBuffer(), "x\ny");
  roomy.GetFirstLine();
  roomy += "cd";
  EXPECT_EQ(Text(roomy), "x\nycd");
  EXPECT_EQ(Peer::Buffer(roomy)->m_capacity, 12);
  EXPECT_EQ(Peer::LinePos(roomy), 2);  // appending to a non-empty string keeps the cursors

  ab += ab;
  EXPECT_EQ(Text(ab), "abab");
}

TEST(VxStringTest, FormatJoinsCutsAndEmpties) {
  CVxString s("old");
  s.Format("%s\\%s", "C:\\dir", "file");
  EXPECT_EQ(Text(s), "C:\\dir\\file");
  s.Format("%s", Data(s));  // an argument inside the string's own text
  EXPECT_EQ(Text(s), "C:\\dir\\file");
  s.Format("%s", std::string(2000, 'x').c_str());
  EXPECT_EQ(s.GetLength(), 1023);
  s.Format("%s", "");
  EXPECT_TRUE(s.IsEmpty());
  s = "x";
  s.Format("");
  EXPECT_TRUE(s.IsEmpty());
}

TEST(VxStringTest, AllocationFailureKeepsTheOldValue) {
  // Every argument is built beforehand: only the operation itself allocates.
  CVxString s("abc"), tail("def"), shared(s), format("%s!"), blanks(" ");
  CVxString::_STRING_BUFFER* buffer = Peer::Buffer(s);
  EXPECT_TRUE(FailsAllocating([&] { s += tail; }));
  EXPECT_TRUE(FailsAllocating([&] { s.AssignCopy(tail); }));
  EXPECT_TRUE(FailsAllocating([&] { s.MakeUnique(); }));
  EXPECT_TRUE(FailsAllocating([&] { s.Reserve(10); }));
  EXPECT_TRUE(FailsAllocating([&] { s.Format(format, "x"); }));
  EXPECT_TRUE(FailsAllocating([&] { s.GetBuffer(); }));
  EXPECT_TRUE(FailsAllocating([&] { s.Trim(blanks); }));
  EXPECT_EQ(Peer::Buffer(s), buffer);
  EXPECT_EQ(buffer->m_refCount, 2);
  EXPECT_EQ(Text(shared), "abc");
}

}  // namespace
