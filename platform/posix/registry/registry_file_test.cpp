#include "platform/posix/registry/registry_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/registry.h"
#include "platform/testing/registry_sandbox.h"

namespace platform::posix {
namespace {

const RegNode* Key(const RegTree& tree, int root, std::initializer_list<const char*> path) {
  const RegNode* node = tree.roots[root].get();
  for (const char* name : path) {
    node = node == nullptr ? nullptr : node->FindChild(name).get();
  }
  return node;
}

std::string Data(const RegNode* node, const char* name) {
  const RegValue* v = node == nullptr ? nullptr : node->FindValue(name);
  return v == nullptr ? "<missing>" : std::to_string(v->type) + ":" + v->data;
}

TEST(RegistryFile, ReadsTheEditorsExportFormat) {
  // 表示 in UTF-8 is 0x95 0x5C 0x8E 0xA6 in code page 932.
  const char* text =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_CURRENT_USER\\Software\\Vendor\\\xE8\xA1\xA8\xE7\xA4\xBA]\r\n"
      "@=\"default\"\r\n"
      "\"Path\"=\"C:\\\\Games\\\\\\\"Q\\\"\"\r\n"
      "  ;\tindented comment\r\n"
      "\"Count\"=dword:0000002A\r\n"
      "\"Blob\"=hex:01,02,\\\r\n"
      "  03\r\n"
      "\"Temp\"=hex(2):25,00,54,00,25,00,00,00\r\n"
      "\"\xE5\x90\x8D\"=\"\xE5\x80\xA4\"\r\n"
      "\r\n"
      "[hkey_current_user\\SOFTWARE\\vendor\\\xE8\xA1\xA8\xE7\xA4\xBA]\r\n"
      "\"Second\"=\"s\"\r\n"
      "[HKEY_USERS\\.DEFAULT\\Software\\Vendor]\n"
      "\"Empty\"=hex:\n";
  RegTree tree;
  ASSERT_TRUE(ParseRegistryFile(text, &tree));
  const RegNode* key = Key(tree, kRegRootCurrentUser, {"Software", "Vendor", "\x95\x5C\x8E\xA6"});
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->name(), "\x95\x5C\x8E\xA6");
  EXPECT_EQ(Data(key, ""), std::string("1:default\0", 10));
  EXPECT_EQ(Data(key, "PATH"), std::string("1:C:\\Games\\\"Q\"\0", 15));
  EXPECT_EQ(Data(key, "second"), std::string("1:s\0", 4));  // the sections merge
  EXPECT_EQ(Data(key, "Count"), std::string("4:\x2A\0\0\0", 6));
  EXPECT_EQ(Data(key, "Blob"), "3:\x01\x02\x03");
  EXPECT_EQ(Data(key, "Temp"), std::string("2:%T%\0", 6));
  EXPECT_EQ(Data(key, "\x96\xBC"), std::string("1:\x92\x6C\0", 5));  // 名 = 値
  EXPECT_EQ(Data(Key(tree, kRegRootUsers, {".default", "software", "VENDOR"}), "Empty"), "3:");

  ASSERT_TRUE(ParseRegistryFile("REGEDIT4\n\n[HKEY_USERS\\X]\n\"A\"=\"C:\\\\\"\n", &tree));
  EXPECT_EQ(tree.header, "REGEDIT4");
  EXPECT_EQ(Data(Key(tree, kRegRootUsers, {"x"}), "a"), std::string("1:C:\\\0", 6));
}

TEST(RegistryFile, RefusesWhatItCannotKeep) {
  const char* head = "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\K]\r\n";
  const char* bad[] = {
      "\"A\"=\"C:\\Games\"",  // a lone backslash
      "\"A\"=\"unterminated",
      "\"A\"=dword:123456789",  // nine digits
      "\"A\"=hex:1,02,xy",
      "\"A\"=hex:01,",    // a comma with no continuation
      "\"A\"=hex:01,\\",  // continued past the end
      "\"A\"=hex(2):41",  // half a UTF-16 character
      "\"A\"=-x",
      "[-HKEY_NOWHERE\\K]",
      "[HKEY_NOWHERE\\K]",
      "[HKEY_CURRENT_USER\\A\\\\B]",
      "garbage",
      "\"A\"=\"\xFF\"",              // not UTF-8
      "\"A\"=\"\xF0\x9F\x98\x80\"",  // no code page 932 form
  };
  RegTree tree;
  EXPECT_FALSE(ParseRegistryFile("\"A\"=\"x\"\r\n", &tree));
  for (const char* line : bad) {
    std::string text = head;
    text += line;
    EXPECT_FALSE(ParseRegistryFile(text, &tree)) << line;
  }
  std::string deep = std::string(head) + "[HKEY_CURRENT_USER";
  for (int i = 0; i <= kRegMaxDepth; ++i) deep += "\\k";
  EXPECT_FALSE(ParseRegistryFile(deep + "]", &tree));
  EXPECT_FALSE(ParseRegistryFile(std::string(head) + std::string("\"A\"=\"x\0\"", 7), &tree));
}

TEST(RegistryFile, WritesWhatItReadsBack) {
  RegTree tree;
  RegNode* key = tree.roots[kRegRootCurrentUser]->AddChild("\x95\x5C");
  key->SetValue("", kRegTypeSz, std::string("a\\\"b\0", 5));
  key->SetValue("Lines", kRegTypeSz, std::string("1\r\n2\0", 5));
  key->SetValue("Big", kRegTypeBinary, std::string(100, '\x7F'));
  key->SetValue("Wide", kRegTypeDword, std::string(8, '\1'));
  key->SetValue("Exp", kRegTypeExpandSz, std::string("%A%\0", 4));
  key->AddChild("Empty");
  std::string text;
  ASSERT_TRUE(FormatRegistryFile(tree, &text));
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n", 0), 0u);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\\xE8\xA1\xA8]\r\n@=\"a\\\\\\\"b\"\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("\"Lines\"=hex(1):31,00,0d,00,0a,00,32,00,00,00\r\n"), std::string::npos);
  EXPECT_NE(text.find("7f,\\\r\n  7f"), std::string::npos);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\\xE8\xA1\xA8\\Empty]\r\n"), std::string::npos);

  RegTree back;
  ASSERT_TRUE(ParseRegistryFile(text, &back));
  const RegNode* again = Key(back, kRegRootCurrentUser, {"\x95\x5C"});
  ASSERT_NE(again, nullptr);
  ASSERT_EQ(again->values().size(), key->values().size());
  for (size_t i = 0; i < key->values().size(); ++i) {
    EXPECT_EQ(again->values()[i].type, key->values()[i].type) << i;
    EXPECT_EQ(again->values()[i].data, key->values()[i].data) << i;
  }
  EXPECT_NE(again->FindChild("EMPTY"), nullptr);
}

TEST(RegistryFile, AppliesRemovalLinesWhereTheyStand) {
  const char* text =
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_CURRENT_USER\\A\\B\\C]\n"
      "\"x\"=\"1\"\n"
      "[HKEY_CURRENT_USER\\A\\D]\n"
      "\"v\"=\"1\"\n"
      "\"w\"=\"2\"\n"
      "\"V\"=-\n"
      "@=-\n"
      "\"w\"=\"3\"\n"
      "[-hkey_current_user\\a\\b]\n"
      "\"kept\"=hex:01,\\\n"
      "  02\n"
      "[HKEY_CURRENT_USER\\A\\B]\n"
      "\"new\"=\"n\"\n"
      "[-HKEY_CURRENT_USER\\Missing\\Key]\n"
      "[-HKEY_CURRENT_USER]\n"
      "\"A\"=-\n"
      "[HKEY_CURRENT_USER\\X\\Y]\n"
      "\"a\"=\"1\"\n"
      "[-HKEY_CURRENT_USER\\X]\n"
      "[HKEY_CURRENT_USER\\X\\Y]\n"
      "\"b\"=\"2\"\n";
  RegTree tree;
  ASSERT_TRUE(ParseRegistryFile(text, &tree));
  const RegNode* b = Key(tree, kRegRootCurrentUser, {"A", "B"});
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->ChildCount(), 0u);  // C went with the first B
  ASSERT_EQ(b->values().size(), 1u);
  EXPECT_EQ(b->values().front().name, "new");
  const RegNode* d = Key(tree, kRegRootCurrentUser, {"A", "D"});
  EXPECT_EQ(Data(d, "v"), "<missing>");
  EXPECT_EQ(Data(d, "w"), std::string("1:3\0", 4));
  EXPECT_TRUE(tree.roots[kRegRootCurrentUser]->values().empty());
  EXPECT_EQ(Key(tree, kRegRootCurrentUser, {"Missing"}), nullptr);
  const RegNode* y = Key(tree, kRegRootCurrentUser, {"X", "Y"});
  EXPECT_EQ(Data(y, "a"), "<missing>");
  EXPECT_EQ(Data(y, "b"), std::string("1:2\0", 4));
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(RegistryFileStore, WritesBackAtOnceAndHonoursTheFileMode) {
  RegistrySandbox sandbox;
  RegKey key = nullptr;
  ASSERT_FALSE(RegistryOpen(kRegCurrentUser, "Software", RegAccess::kRead, &key));  // empty
  ASSERT_TRUE(RegistryCreate(kRegCurrentUser, "Software\\V", &key));
  ASSERT_TRUE(RegistrySetValue(key, "N", kRegTypeSz, "x", 2));
  EXPECT_EQ(ReadAll(sandbox.FilePath()),
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software]\r\n\r\n"
            "[HKEY_CURRENT_USER\\Software\\V]\r\n\"N\"=\"x\"\r\n\r\n");

  // Someone else's edit is seen at the next open, and an older key can no
  // longer write over it.
  const std::string edited = "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\V]\n\"N\"=\"y\"\n";
  std::ofstream(sandbox.FilePath(), std::ios::binary) << edited;
  EXPECT_FALSE(RegistrySetValue(key, "N", kRegTypeSz, "z", 2));
  RegistryClose(key);
  ASSERT_TRUE(RegistryOpen(kRegCurrentUser, "software\\v", RegAccess::kAll, &key));
  char data[4];
  uint32_t size = sizeof(data);
  ASSERT_TRUE(RegistryQueryValue(key, "n", nullptr, data, &size));
  EXPECT_STREQ(data, "y");
  RegistryClose(key);

  // Read-only for its owner: reading opens only, and the file stays as it was.
  ASSERT_EQ(::chmod(sandbox.FilePath().c_str(), 0444), 0);
  EXPECT_FALSE(RegistryOpen(kRegCurrentUser, "Software\\V", RegAccess::kAll, &key));
  EXPECT_FALSE(RegistryCreate(kRegCurrentUser, "Software\\V", &key));
  ASSERT_TRUE(RegistryOpen(kRegCurrentUser, "Software\\V", RegAccess::kRead, &key));
  EXPECT_FALSE(RegistrySetValue(key, "N", kRegTypeSz, "z", 2));
  EXPECT_FALSE(RegistryDeleteKey(kRegCurrentUser, "Software\\V"));
  RegistryClose(key);
  EXPECT_EQ(ReadAll(sandbox.FilePath()), edited);
}

TEST(RegistryFileStore, LivesBelowTheConfigFolderByDefault) {
  RegistrySandbox sandbox;
  std::string dir = sandbox.FilePath().substr(0, sandbox.FilePath().rfind('/'));
  ::unsetenv("VXUPDATE_REGISTRY");
  const char* old = std::getenv("XDG_CONFIG_HOME");
  std::string saved = old != nullptr ? old : "";
  ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  // Wine's default prefix of the user running the test is no concern here.
  std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  ::setenv("HOME", dir.c_str(), 1);
  RegKey key = nullptr;
  bool created = RegistryCreate(kRegUsers, ".DEFAULT\\Software\\V", &key);
  RegistryClose(key);
  std::string file = dir + "/vxupdate/registry.reg";
  bool exists = ::access(file.c_str(), F_OK) == 0;
  ::unlink(file.c_str());
  ::rmdir((dir + "/vxupdate").c_str());
  ::setenv("HOME", home.c_str(), 1);
  if (old != nullptr) {
    ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  } else {
    ::unsetenv("XDG_CONFIG_HOME");
  }
  EXPECT_TRUE(created);
  EXPECT_TRUE(exists);
}

// Each form the registry editor writes, read through the store, then
// written back with one more value: the file keeps its encoding, header,
// owner and mode, and reads back to the same values.
TEST(RegistryFileStore, ReadsAndWritesBackEveryFormTheEditorWrites) {
  // 表 is E8 A1 A8 in UTF-8 and 95 5C in code page 932.
  const std::string v5 = "Windows Registry Editor Version 5.00\r\n";
  const std::string key = "[HKEY_CURRENT_USER\\Software\\V]\r\n";
  std::string utf16;
  ASSERT_TRUE(Cp932ToUtf16le(v5 + "\r\n" + key + "\"A\"=\"\x95\x5C\"\r\n", &utf16));
  struct Case {
    const char* what;
    std::string bytes;
    std::string a;     // type and data of the value A; empty: the key is missing
    std::string head;  // how the rewritten file begins
  } cases[] = {
      {"UTF-8", v5 + key + "\"A\"=\"\xE8\xA1\xA8\"\r\n", std::string("1:\x95\x5C\0", 5), v5},
      {"UTF-8 with a mark", "\xEF\xBB\xBF" + v5 + key + "\"A\"=\"\xE8\xA1\xA8\"\r\n",
       std::string("1:\x95\x5C\0", 5), "\xEF\xBB\xBF" + v5},
      {"UTF-16LE", "\xFF\xFE" + utf16, std::string("1:\x95\x5C\0", 5), "\xFF\xFEW\0i\0"},
      {"REGEDIT4", "REGEDIT4\n\n" + key + "\"A\"=hex(2):25,95,5c,25,00\n\"M\"=hex(7):61,00,00\n",
       std::string("2:%\x95\x5C%\0", 7), "REGEDIT4\r\n"},
      {"lone CRs", v5 + "; a\rcomment\r\n\r\r\n" + key + "\"A\"=\"x\ry\"\r\n",
       std::string("1:x\ry\0", 6), v5},
      {"continued hex", v5 + key + "\"A\"=hex:01,02,\\\r\n  03,\\\r\n  04\r\n",
       "3:\x01\x02\x03\x04", v5},
      {"removals", v5 + key + "\"A\"=\"1\"\r\n\"A\"=-\r\n[-HKEY_CURRENT_USER\\Software\\V\\W]\r\n",
       "", v5},
      {"0 bytes", "", "", v5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RegistrySandbox sandbox;
    std::ofstream(sandbox.FilePath(), std::ios::binary) << c.bytes;
    ASSERT_EQ(::chmod(sandbox.FilePath().c_str(), 0640), 0);
    bool asRoot = ::geteuid() == 0;
    if (asRoot) {
      ASSERT_EQ(::chown(sandbox.FilePath().c_str(), 65534, 65534), 0);
    }

    RegKey k = nullptr;
    if (c.a.empty()) {
      EXPECT_FALSE(RegistryOpen(kRegCurrentUser, "Software\\V", RegAccess::kRead, &k) &&
                   RegistryQueryValue(k, "A", nullptr, nullptr, nullptr));
      RegistryClose(k);
    } else {
      ASSERT_TRUE(RegistryOpen(kRegCurrentUser, "Software\\V", RegAccess::kRead, &k));
      char data[16];
      uint32_t type = 0, size = sizeof(data);
      ASSERT_TRUE(RegistryQueryValue(k, "A", &type, data, &size));
      EXPECT_EQ(std::to_string(type) + ":" + std::string(data, size), c.a);
      RegistryClose(k);
    }
    ASSERT_TRUE(RegistryCreate(kRegCurrentUser, "Software\\V", &k));
    ASSERT_TRUE(RegistrySetValue(k, "New", kRegTypeSz, "n", 2));
    RegistryClose(k);

    std::string bytes = ReadAll(sandbox.FilePath());
    EXPECT_EQ(bytes.substr(0, c.head.size()), c.head);
    RegTree before, after;
    ASSERT_TRUE(ParseRegistryFile(c.bytes, &before));
    ASSERT_TRUE(ParseRegistryFile(bytes, &after));
    EXPECT_EQ(after.encoding, before.encoding);
    const RegNode* was = Key(before, kRegRootCurrentUser, {"Software", "V"});
    const RegNode* now = Key(after, kRegRootCurrentUser, {"Software", "V"});
    ASSERT_NE(now, nullptr);
    EXPECT_EQ(Data(now, "New"), std::string("1:n\0", 4));
    for (const char* name : {"A", "M"}) EXPECT_EQ(Data(now, name), Data(was, name)) << name;
    struct stat st;
    ASSERT_EQ(::stat(sandbox.FilePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (asRoot) {
      EXPECT_EQ(st.st_uid, 65534u);
    }
  }
}

}  // namespace
}  // namespace platform::posix
