// Wine prefix mode against a prefix laid out as Wine lays it out: the
// registry read from user.reg and userdef.reg and never written, and drive
// paths reaching the drives' folders with letter case as on Windows.
#include "platform/posix/wine_prefix.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
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

const char kUserdefReg[] = R"(WINE REGISTRY Version 2
;; All keys relative to REGISTRY\\User\\.Default

#arch=win32

[Software\\Hoshiumi\\Fallback] 1796657451
#time=1dd865ff1551502
"InstallDir"="C:\\Games\\\x661f\x6d77"
)";

class WinePrefixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vx-wine-" + std::to_string(std::random_device()()));
    prefix_ = root_ / "prefix";
    fs::create_directories(prefix_ / "dosdevices");
    fs::create_directories(prefix_ / "drive_c" / "Games" / "Adventure" / "data");
    fs::create_directories(prefix_ / "drive_c" / "Games" / fs::path(u8"星海"));
    fs::create_directories(prefix_ / "drive_c" / "Tie" / "DATA");
    fs::create_directories(prefix_ / "drive_c" / "Tie" / "data");
    fs::create_symlink("../drive_c", prefix_ / "dosdevices" / "c:");
    fs::create_symlink("/", prefix_ / "dosdevices" / "z:");
    fs::create_symlink(root_ / "nowhere", prefix_ / "dosdevices" / "d:");
    Put(prefix_ / "user.reg", kUserReg);
    Put(prefix_ / "userdef.reg", kUserdefReg);
    Put(prefix_ / "system.reg", "WINE REGISTRY Version 2\n");
    Put(prefix_ / "drive_c" / "Games" / "Adventure" / "data" / "map.dat", "old map");
    Put(prefix_ / "drive_c" / "Tie" / "DATA" / "x", "upper");
    Put(prefix_ / "drive_c" / "Tie" / "data" / "x", "lower");
    Put(root_ / "patch.dat", "new map");
    prefixVar_ = std::make_unique<EnvVar>("WINEPREFIX", prefix_.c_str());
    fileVar_ = std::make_unique<EnvVar>("VXUPDATE_REGISTRY", nullptr);
  }
  void TearDown() override {
    prefixVar_.reset();
    fileVar_.reset();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  static void Put(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string Get(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Every entry of the prefix outside drive_c with its contents (a link:
  // where it leads).
  std::map<std::string, std::string> PrefixFiles() const {
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(prefix_); it != fs::end(it); ++it) {
      std::string rel = fs::relative(it->path(), prefix_).string();
      if (rel.rfind("drive_c", 0) == 0) {
        it.disable_recursion_pending();
        continue;
      }
      files[rel] = it->is_symlink()        ? "-> " + fs::read_symlink(it->path()).string()
                   : it->is_regular_file() ? Get(it->path())
                                           : "<folder>";
    }
    return files;
  }
  static std::string ReadText(platform::RegKey root, const char* path, const char* name) {
    platform::RegKey key;
    if (!platform::RegistryOpen(root, path, platform::RegAccess::kAll, &key)) return "<no key>";
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
};

TEST_F(WinePrefixTest, RegistryIsThePrefixsOwnAndOnlyRead) {
  auto before = PrefixFiles();
  EXPECT_EQ(ReadText(platform::kRegCurrentUser, "Software\\hoshiumi\\ADVENTURE", "installdir"),
            "C:\\GAMES\\adventure");
  EXPECT_EQ(ReadText(platform::kRegUsers, ".DEFAULT\\Software\\Hoshiumi\\Fallback", "InstallDir"),
            "C:\\Games\\星海");
  EXPECT_EQ(ReadText(platform::kRegCurrentUser, "Software\\Hoshiumi\\Fallback", "InstallDir"),
            "<no key>");

  // Nothing writes: not a new key, not a value, not a deletion.
  platform::RegKey key;
  EXPECT_FALSE(platform::RegistryCreate(platform::kRegCurrentUser, "Software\\New", &key));
  EXPECT_FALSE(platform::RegistryCreate(platform::kRegCurrentUser, "Software\\Hoshiumi", &key));
  ASSERT_TRUE(platform::RegistryOpen(platform::kRegCurrentUser, "Software\\Hoshiumi",
                                     platform::RegAccess::kAll, &key));
  EXPECT_FALSE(platform::RegistrySetValue(key, "v", platform::kRegTypeSz, "x", 2));
  EXPECT_FALSE(platform::RegistryDeleteKey(key, "Adventure"));
  uint32_t count = 0;
  EXPECT_TRUE(platform::RegistrySubKeyCount(key, &count));
  EXPECT_EQ(count, 1u);
  platform::RegistryClose(key);
  EXPECT_EQ(PrefixFiles(), before);

  // Wine saved the registry again: the new text is read.
  Put(prefix_ / "user.reg", std::string(kUserReg) + "\"Version\"=\"1.02\"\n");
  EXPECT_EQ(ReadText(platform::kRegCurrentUser, "Software\\Hoshiumi\\Adventure", "Version"),
            "1.02");

  // Without user.reg the current user's keys are gone, .DEFAULT stays.
  fs::remove(prefix_ / "user.reg");
  EXPECT_EQ(ReadText(platform::kRegCurrentUser, "Software\\Hoshiumi\\Adventure", "InstallDir"),
            "<no key>");
  EXPECT_EQ(ReadText(platform::kRegUsers, ".DEFAULT\\Software\\Hoshiumi\\Fallback", "InstallDir"),
            "C:\\Games\\星海");

  // VXUPDATE_REGISTRY wins over WINEPREFIX: its file, and plain paths.
  Put(prefix_ / "user.reg", kUserReg);
  std::string file = (root_ / "registry.reg").string();
  Put(file,
      "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Hoshiumi\\Adventure]"
      "\n\"InstallDir\"=\"/games/adventure\"\n");
  EnvVar named("VXUPDATE_REGISTRY", file.c_str());
  EXPECT_EQ(ReadText(platform::kRegCurrentUser, "Software\\Hoshiumi\\Adventure", "InstallDir"),
            "/games/adventure");
  EXPECT_FALSE(platform::IsDirectory("C:\\Games"));
}

TEST_F(WinePrefixTest, DrivePathsReachTheDrivesFolders) {
  // Letter case as Windows has it, below the drive's folder.
  EXPECT_TRUE(platform::IsDirectory("C:"));
  EXPECT_TRUE(platform::IsDirectory("c:\\GAMES\\adventure\\"));
  EXPECT_TRUE(platform::IsDirectory("C:\\Games\\星海"));
  EXPECT_TRUE(Opens("C:\\GAMES\\Adventure\\DATA\\Map.dat"));
  platform::FoundEntry entry;
  platform::SearchHandle search =
      platform::StartSearch("C:\\games\\ADVENTURE\\Data\\*.DAT", &entry);
  ASSERT_NE(search, nullptr);
  EXPECT_STREQ(entry.m_name, "map.dat");
  platform::EndSearch(search);

  // Of two names equal but for case, the first a search would list.
  platform::FileHandle tie = platform::OpenExisting("C:\\tie\\Data\\X", platform::Share::kNone);
  ASSERT_NE(tie, nullptr);
  char text[8] = {};
  uint32_t done = 0;
  EXPECT_TRUE(platform::ReadBytes(tie, text, 5, &done));
  EXPECT_STREQ(text, "upper");
  platform::CloseFileHandle(tie);

  // A copy lands on the file that is there; new folders get the names as
  // written, below the folders that are there.
  std::string patch = "Z:" + (root_ / "patch.dat").string();
  for (char& c : patch) c = c == '/' ? '\\' : c;
  ASSERT_TRUE(Opens(patch.c_str()));
  EXPECT_TRUE(platform::CopyOver(patch.c_str(), "C:\\GAMES\\adventure\\data\\MAP.DAT"));
  fs::path data = prefix_ / "drive_c" / "Games" / "Adventure" / "data";
  EXPECT_EQ(Get(data / "map.dat"), "new map");
  EXPECT_FALSE(fs::exists(data / "MAP.DAT"));
  EXPECT_TRUE(platform::CreateFoldersOf("C:\\games\\Adventure\\New\\Deeper\\f.txt"));
  EXPECT_TRUE(fs::is_directory(prefix_ / "drive_c" / "Games" / "Adventure" / "New" / "Deeper"));
  EXPECT_FALSE(fs::exists(prefix_ / "drive_c" / "games"));

  // A drive with no mapping, or one whose link leads nowhere, names no
  // folder: nothing opens and nothing is made, in the prefix or elsewhere.
  auto before = PrefixFiles();
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
  EXPECT_FALSE(platform::IsDirectory("C:\\Games"));
  EXPECT_FALSE(Opens(patch.c_str()));
}

}  // namespace
