// Wine prefix mode against a prefix laid out as Wine lays it out: the
// registry read from user.reg and never written, drive paths reaching the
// drives' folders, and a drive without a folder naming nothing. (The
// end-to-end test run_wine_prefix.py runs the installer on a prefix that
// Wine made.)
#include "platform/posix/registry/wine_prefix.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;

// Sets or clears an environment variable for a test's life.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~EnvVar() {
    if (had_) {
      ::setenv(name_, old_.c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_;
  std::string old_;
};

const char kUserReg[] = R"(WINE REGISTRY Version 2
;; All keys relative to REGISTRY\\User\\S-1-5-21-0-0-0-1000

#arch=win32

[Software\\Hoshiumi\\Adventure] 1796657451
#time=1dd865ff1551502
"InstallDir"="C:\\GAMES\\adventure"
)";

class WinePrefixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vx-wine-" + std::to_string(std::random_device()()));
    prefix_ = root_ / "prefix";
    fs::create_directories(prefix_ / "dosdevices");
    fs::create_directories(prefix_ / "drive_c" / "Games" / "Adventure");
    fs::create_symlink("../drive_c", prefix_ / "dosdevices" / "c:");
    fs::create_symlink("/", prefix_ / "dosdevices" / "z:");
    fs::create_symlink(root_ / "nowhere", prefix_ / "dosdevices" / "d:");
    Put(prefix_ / "user.reg", kUserReg);
    Put(prefix_ / "userdef.reg", "WINE REGISTRY Version 2\n");
    Put(root_ / "patch.dat", "new map");
    prefixVar_ = std::make_unique<EnvVar>("WINEPREFIX", prefix_.c_str());
    fileVar_ = std::make_unique<EnvVar>("VXUPDATE_REGISTRY", nullptr);
    // A home of the test's own: the user's own ~/.wine would otherwise serve
    // as the default prefix where a test leaves prefix mode.
    fs::create_directories(root_ / "home");
    homeVar_ = std::make_unique<EnvVar>("HOME", (root_ / "home").c_str());
  }
  void TearDown() override {
    prefixVar_.reset();
    fileVar_.reset();
    homeVar_.reset();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  static void Put(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  // Every entry of the prefix with its contents (a link: where it leads).
  std::map<std::string, std::string> PrefixFiles() const {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(prefix_)) {
      std::ifstream in(e.path(), std::ios::binary);
      files[e.path().string()] = e.is_symlink() ? "-> " + fs::read_symlink(e.path()).string()
                                 : e.is_regular_file()
                                     ? std::string(std::istreambuf_iterator<char>(in), {})
                                     : "<folder>";
    }
    return files;
  }
  static std::string ReadText(const char* path, const char* name) {
    platform::RegKey key;
    if (!platform::RegistryOpen(platform::kRegCurrentUser, path, platform::RegAccess::kAll, &key)) {
      return "<no key>";
    }
    char text[260] = {};
    uint32_t size = sizeof(text);
    uint32_t type = 0;
    bool ok = platform::RegistryQueryValue(key, name, &type, text, &size);
    platform::RegistryClose(key);
    return ok && type == platform::kRegTypeSz ? std::string(text) : "<no value>";
  }
  static bool Opens(const char* path) {
    platform::FileHandle file = platform::OpenExisting(path, platform::Share::kNone);
    platform::CloseFileHandle(file);
    return file != nullptr;
  }

  fs::path root_;
  fs::path prefix_;
  std::unique_ptr<EnvVar> prefixVar_;
  std::unique_ptr<EnvVar> fileVar_;
  std::unique_ptr<EnvVar> homeVar_;
};

TEST_F(WinePrefixTest, RegistryIsThePrefixsOwnAndOnlyRead) {
  auto before = PrefixFiles();
  // Opens with full access, as the installer asks, but nothing writes: not a
  // new key, not a value, not a deletion.
  EXPECT_EQ(ReadText("Software\\hoshiumi\\ADVENTURE", "installdir"), "C:\\GAMES\\adventure");
  platform::RegKey key;
  EXPECT_FALSE(platform::RegistryCreate(platform::kRegCurrentUser, "Software\\New", &key));
  EXPECT_FALSE(platform::RegistryCreate(platform::kRegCurrentUser, "Software\\Hoshiumi", &key));
  ASSERT_TRUE(platform::RegistryOpen(platform::kRegCurrentUser, "Software\\Hoshiumi",
                                     platform::RegAccess::kAll, &key));
  EXPECT_FALSE(platform::RegistrySetValue(key, "v", platform::kRegTypeSz, "x", 2));
  EXPECT_FALSE(platform::RegistryDeleteKey(key, "Adventure"));
  platform::RegistryClose(key);
  EXPECT_EQ(PrefixFiles(), before);

  // Wine saved the registry again: the new text is read.
  Put(prefix_ / "user.reg", std::string(kUserReg) + "\"Version\"=\"1.02\"\n");
  EXPECT_EQ(ReadText("Software\\Hoshiumi\\Adventure", "Version"), "1.02");

  // VXUPDATE_REGISTRY wins over WINEPREFIX: its file, and plain paths.
  std::string file = (root_ / "registry.reg").string();
  Put(file,
      "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Hoshiumi\\Adventure]"
      "\n\"InstallDir\"=\"/games/adventure\"\n");
  EnvVar named("VXUPDATE_REGISTRY", file.c_str());
  EXPECT_EQ(ReadText("Software\\Hoshiumi\\Adventure", "InstallDir"), "/games/adventure");
  EXPECT_FALSE(platform::IsDirectory("C:\\Games"));
}

TEST_F(WinePrefixTest, DrivePathsReachTheDrivesFoldersOrNothing) {
  EXPECT_TRUE(platform::IsDirectory("C:"));
  EXPECT_TRUE(platform::IsDirectory("c:\\GAMES\\adventure\\"));
  std::string patch = "Z:" + (root_ / "patch.dat").string();
  for (char& c : patch) c = c == '/' ? '\\' : c;
  EXPECT_TRUE(Opens(patch.c_str()));

  // A drive with no mapping, or one whose link leads nowhere, names no
  // folder: nothing opens and nothing is made, in the prefix or elsewhere.
  auto before = PrefixFiles();
  platform::FoundEntry entry;
  for (const char* drive : {"Q:", "d:"}) {
    std::string folder = std::string(drive) + "\\Games\\Adventure";
    EXPECT_FALSE(platform::IsDirectory(folder.c_str())) << drive;
    EXPECT_FALSE(platform::CreateFoldersOf((folder + "\\data\\map.dat").c_str())) << drive;
    EXPECT_FALSE(Opens((folder + "\\data\\map.dat").c_str())) << drive;
    EXPECT_FALSE(platform::CopyOver(patch.c_str(), (folder + "\\map.dat").c_str())) << drive;
    EXPECT_EQ(platform::StartSearch((folder + "\\*").c_str(), &entry), nullptr) << drive;
  }
  EXPECT_EQ(PrefixFiles(), before);
  EXPECT_FALSE(fs::exists(root_ / "nowhere"));

  // Outside prefix mode a drive path is a relative path, as before.
  EnvVar none("WINEPREFIX", nullptr);
  EXPECT_FALSE(platform::IsDirectory("C:"));
  EXPECT_FALSE(Opens(patch.c_str()));
}

// `.` and `..` after the drive are resolved as text, never above the
// drive's root, as Windows does: C:\.. is C:\, never the prefix itself.
TEST_F(WinePrefixTest, DotsStayInsideTheDrive) {
  EXPECT_EQ(platform::posix::ResolveDots("/../../x/./y/../z/"), "x/z");
  EXPECT_EQ(platform::posix::ResolveDots("a/.."), "");
  std::string folder;
  std::string rest;
  ASSERT_EQ(platform::posix::MapWineDrive("C:/../../Games/./Adventure/x/../", &folder, &rest),
            platform::posix::DriveMapping::kMapped);
  EXPECT_EQ(rest, "Games/Adventure/");

  EXPECT_FALSE(Opens("C:\\..\\user.reg"));
  EXPECT_TRUE(platform::IsDirectory("C:\\..\\Games\\Adventure\\..\\..\\..\\Games"));
}

// A key that Wine keeps as a link is opened as the key it names, below the
// user's keys or HKEY_USERS\.DEFAULT; a link to the machine's keys (not
// read), to no key, or a loop of links opens nothing.
TEST_F(WinePrefixTest, LinkKeysAreFollowed) {
  auto link = [](const char* key, const std::string& target) {
    std::string hex;
    for (char c : target) {
      char b[8];
      std::snprintf(b, sizeof(b), "%s%02x,00", hex.empty() ? "" : ",",
                    static_cast<unsigned char>(c));
      hex += b;
    }
    return std::string("\n[") + key + "] 1796657451\n#time=1dd865ff1551502\n#link\n" +
           "\"SymbolicLinkValue\"=hex(6):" + hex + "\n";
  };
  const std::string user = "\\REGISTRY\\User\\S-1-5-21-0-0-0-1000\\";
  Put(prefix_ / "user.reg",
      std::string(kUserReg) + link("Software\\\\Linked", user + "Software\\Hoshiumi") +
          link("Software\\\\Default", "\\Registry\\user\\.default\\Software\\Fallback") +
          link("Software\\\\Machine", "\\REGISTRY\\Machine\\Software\\Hoshiumi") +
          link("Software\\\\Loop1", user + "Software\\Loop2") +
          link("Software\\\\Loop2", user + "Software\\Loop1"));
  Put(prefix_ / "userdef.reg",
      "WINE REGISTRY Version 2\n\n[Software\\\\Fallback] 1\n\"InstallDir\"=\"C:\\\\Fallback\"\n");
  EXPECT_EQ(ReadText("Software\\Linked\\Adventure", "InstallDir"), "C:\\GAMES\\adventure");
  EXPECT_EQ(ReadText("Software\\Default", "InstallDir"), "C:\\Fallback");
  EXPECT_EQ(ReadText("Software\\Machine", "InstallDir"), "<no key>");
  EXPECT_EQ(ReadText("Software\\Loop1", "InstallDir"), "<no key>");
}

}  // namespace
