// Folders and whole files against real scratch folders: search, time stamps,
// folder creation, and the copy that never loses the old destination.
#include "platform/fs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#endif

namespace {

namespace fs = std::filesystem;

class FsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vx-fs-" + std::to_string(std::random_device()()));
    fs::create_directories(root_);
    base_ = root_.string();
  }
  void TearDown() override {
    for (auto& e : fs::recursive_directory_iterator(root_)) {
      fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add);
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  // Code page 932 path below the scratch folder, as the installer writes it.
  std::string At(const char* relative) const { return base_ + "\\" + relative; }
  static void Put(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string Get(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static uint64_t TimeOf(const std::string& path) {
    platform::FileHandle file = platform::OpenExisting(path.c_str(), platform::Share::kRead);
    uint64_t time = 0;
    EXPECT_TRUE(platform::LastWriteTime(file, &time)) << path;
    platform::CloseFileHandle(file);
    return time;
  }
  std::vector<std::string> Search(
      const std::string& pattern,
      platform::SearchDetail detail = platform::SearchDetail::kAttributes) {
    std::vector<std::string> names;
    platform::FoundEntry entry;
    platform::SearchHandle search = platform::StartSearch(pattern.c_str(), &entry, detail);
    if (search == nullptr) return names;
    do {
      bool folder = entry.m_attributes & platform::kAttributeDirectory;
      names.push_back(std::string(entry.m_name) + (folder ? "/" : ""));
    } while (platform::ContinueSearch(search, &entry));
    platform::EndSearch(search);
    return names;
  }

  fs::path root_;
  std::string base_;
};

TEST_F(FsTest, SearchMatchesLastComponentWithWildcards) {
  fs::create_directories(root_ / u8"表" / "sub.dat");
  for (const char8_t* name : {u8"Data1.dat", u8"data2.DAT", u8"表.dat", u8"表x.dat", u8"noext"}) {
    Put(root_ / u8"表" / name, "x");
  }
  using Names = std::set<std::string>;
  auto found = [&](const char* pattern) {
    std::vector<std::string> v = Search(At(pattern));
    return Names(v.begin(), v.end());
  };
  // The folder 表 ends in byte 0x5C, which must not split the pattern.
  EXPECT_EQ(found("表\\*.dat"), (Names{"Data1.dat", "data2.DAT", "表.dat", "表x.dat", "sub.dat/"}));
  EXPECT_EQ(found("表\\?.dat"), (Names{"表.dat"}));  // a double-byte character is one
  EXPECT_EQ(found("表\\DATA?.dat"), (Names{"Data1.dat", "data2.DAT"}));
  EXPECT_EQ(found("表/noext"), (Names{"noext"}));
  Names all = found("表\\*.*");
  EXPECT_EQ(all.size(), 8u);  // the six, "." and ".."
  EXPECT_EQ(all.count("./") + all.count("../"), 2u);
  EXPECT_TRUE(found("表\\*.txt").empty());
  EXPECT_TRUE(found("missing\\*").empty());
  EXPECT_TRUE(found("").empty());
  // Names that differ only in case come in the order of their bytes.
  fs::create_directories(root_ / "pair");
  for (const char* name : {"b.dat", "B.dat", "a.dat2", "A.dat"}) Put(root_ / "pair" / name, "x");
  std::vector<std::string> pair = Search(At("pair\\*.dat*"));
#ifndef _WIN32
  EXPECT_EQ(pair, (std::vector<std::string>{"A.dat", "a.dat2", "B.dat", "b.dat"}));
#else
  EXPECT_EQ(pair.size(), 3u);  // one of b.dat and B.dat: NTFS holds one of them
#endif
#ifndef _WIN32
  // Sorted by name, as NTFS returns them.
  EXPECT_EQ(Search(At("表\\*")),
            (std::vector<std::string>{"./", "../", "Data1.dat", "data2.DAT", "noext", "sub.dat/",
                                      "表.dat", "表x.dat"}));
#endif
}

// Update lists written on Windows name files and folders in any letter case.
TEST_F(FsTest, NamesAreFoundInAnyLetterCase) {
  Put(root_ / "update.lst", "list");
  fs::create_directories(root_ / "data");
  Put(root_ / "data" / "map.dat", "old");
  Put(root_ / "src", "new");
  EXPECT_EQ(Search(At("DATA\\*.DAT")), std::vector<std::string>{"map.dat"});
  platform::FileHandle list =
      platform::OpenExisting(At("UPDATE.LST").c_str(), platform::Share::kNone);
  EXPECT_NE(list, nullptr);
  platform::CloseFileHandle(list);
  EXPECT_TRUE(platform::IsDirectory(At("Data").c_str()));
  EXPECT_TRUE(platform::CreateFoldersOf(At("DATA\\New\\x.dat").c_str()));
  EXPECT_TRUE(platform::CopyOver(At("src").c_str(), At("DATA\\MAP.DAT").c_str()));
  EXPECT_TRUE(platform::SetNormalAttributes(At("data\\Map.Dat").c_str()));
  std::set<std::string> names;
  for (auto& e : fs::recursive_directory_iterator(root_)) {
    names.insert(fs::relative(e.path(), root_).generic_string());
  }
#ifndef _WIN32
  // The replaced file keeps its name; the new folder gets the name as written.
  EXPECT_EQ(names,
            (std::set<std::string>{"data", "data/New", "data/map.dat", "src", "update.lst"}));
#endif
  EXPECT_EQ(names.size(), 5u);
  EXPECT_EQ(Get(root_ / "data" / "map.dat"), "new");
}

// A missing name makes the folder's listing kept; a file made under that
// very name right after (here, within the moment the listing is trusted)
// opens: whether a name is there as written is never taken from a listing.
TEST_F(FsTest, AFileMadeRightAfterALookupOpens) {
  EXPECT_EQ(platform::OpenExisting(At("late.dat").c_str(), platform::Share::kRead), nullptr);
  Put(root_ / "late.dat", "x");
  platform::File late(platform::OpenExisting(At("late.dat").c_str(), platform::Share::kRead));
  EXPECT_TRUE(late);
}

#ifndef _WIN32
// The time stamp and the size of an open file are what they are now, not
// what they were when it was opened, once a moment has passed; and a copy
// from a handle opened a while before takes the file as it is then. (On
// Windows the open file can't be written meanwhile.)
TEST_F(FsTest, AnOpenFileIsSeenAsItIsNow) {
  Put(root_ / "grow.dat", "old");
  fs::last_write_time(root_ / "grow.dat", fs::file_time_type::clock::now() - std::chrono::hours(2));
  platform::File file(platform::OpenExisting(At("grow.dat").c_str(), platform::Share::kRead));
  ASSERT_TRUE(file);
  uint64_t before = 0, after = 0, size = 0;
  ASSERT_TRUE(platform::LastWriteTime(file.get(), &before));
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  Put(root_ / "grow.dat", "newer text");  // the same file, written again
  ASSERT_TRUE(platform::LastWriteTime(file.get(), &after));
  EXPECT_GT(after, before);
  ASSERT_TRUE(platform::FileSize(file.get(), &size));
  EXPECT_EQ(size, 10u);
  ASSERT_TRUE(platform::CopyOver(At("grow.dat").c_str(), At("copy.dat").c_str(), file.Release()));
  EXPECT_EQ(Get(root_ / "copy.dat"), "newer text");
}
#endif

// A case variant that appears behind the installer's back, after the folder
// was looked at and written to, is the file that a rule's name replaces, and
// it keeps its name (on Windows the move onto GAME.EXE would otherwise
// rename it).
TEST_F(FsTest, ReplacedFileKeepsItsNameWhenMadeByAnotherProcess) {
  Put(root_ / "src", "new");
  ASSERT_TRUE(platform::CopyOver(At("src").c_str(), At("NEW.DAT").c_str()));
  // Another process: a new file, then a rename, each in another letter case.
  // A kernel with coarse time stamps may leave the folder's time as it was
  // within one tick; the moved time stands for a change a tick later. A
  // listing checked in the last millisecond is used as it is: the copy
  // comes later than that.
  auto behindTheBack = [&](const std::function<void()>& change) {
    std::error_code error;  // Windows sets no folder's time this way, nor needs to
    fs::file_time_type before = fs::last_write_time(root_, error);
    change();
    if (!error && fs::last_write_time(root_, error) == before) {
      fs::last_write_time(root_, before + std::chrono::seconds(1), error);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  };
  behindTheBack([&] { Put(root_ / "game.exe", "old"); });
  ASSERT_TRUE(platform::CopyOver(At("src").c_str(), At("GAME.EXE").c_str()));
  EXPECT_EQ(Get(root_ / "game.exe"), "new");
  behindTheBack([&] {  // in two steps: Wine takes a change of case alone for no change
    fs::rename(root_ / "game.exe", root_ / "moved");
    fs::rename(root_ / "moved", root_ / "Game.Exe");
  });
  Put(root_ / "src", "newer");
  ASSERT_TRUE(platform::CopyOver(At("src").c_str(), At("GAME.EXE").c_str()));
  std::set<std::string> names;
  for (auto& e : fs::directory_iterator(root_)) names.insert(e.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"Game.Exe", "NEW.DAT", "src"}));
  EXPECT_EQ(Get(root_ / "Game.Exe"), "newer");
}

#ifndef _WIN32
// What a Windows folder never holds is never listed, so nothing waits on a
// FIFO; nor is a name whose code page 932 form would be another character's.
TEST_F(FsTest, SearchListsOnlyWhatWindowsCouldName) {
  ASSERT_EQ(::mkfifo((root_ / "fifo.dat").c_str(), 0644), 0);
  fs::create_symlink(root_ / "fifo.dat", root_ / "link.dat");
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::string socketPath = (root_ / "socket.dat").string();
  ASSERT_LT(socketPath.size(), sizeof(address.sun_path));
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  Put(root_ / u8"wave〜.dat", "301C");  // iconv: 0x8160, which is U+FF5E
  Put(root_ / "plain.dat", "p");
  // A search that tells only folders from files, from the listing alone,
  // lists the same: links are still followed to what they name.
  fs::create_directories(root_ / "folder.dat");
  fs::create_directory_symlink(root_ / "folder.dat", root_ / "folderlink.dat");
  const std::vector<std::string> listed{"folder.dat/", "folderlink.dat/", "plain.dat"};
  EXPECT_EQ(Search(At("*.dat")), listed);
  EXPECT_EQ(Search(At("*.dat"), platform::SearchDetail::kKindOnly), listed);
  EXPECT_EQ(platform::OpenExisting(At("wave\x81\x60.dat").c_str(), platform::Share::kNone),
            nullptr);
  ::close(sock);
}
#endif

TEST_F(FsTest, WorkingDirectoryReportsTheSizeItNeeds) {
  fs::path old = fs::current_path();
  fs::current_path(root_);
  char area[platform::kPathAreaSize];
  uint32_t length = platform::WorkingDirectory(area, sizeof(area));
  ASSERT_GT(length, 0u);
  EXPECT_EQ(std::strlen(area), length);
  char small[4] = "abc";
  EXPECT_EQ(platform::WorkingDirectory(small, sizeof(small)), length + 1);
  EXPECT_EQ(small[0], '\0');
  fs::current_path(old);
}

TEST_F(FsTest, CreatesFoldersUpToTheLastSeparator) {
  EXPECT_TRUE(platform::CreateFoldersOf(At("a\\表\\c/d\\file.dat").c_str()));
  EXPECT_TRUE(fs::is_directory(root_ / "a" / u8"表" / "c" / "d"));
  EXPECT_FALSE(fs::exists(root_ / "a" / u8"表" / "c" / "d" / "file.dat"));
  EXPECT_TRUE(platform::IsDirectory(At("a\\表").c_str()));
  EXPECT_FALSE(platform::IsDirectory(At("a\\表\\none").c_str()));
  Put(root_ / "f", "x");
  EXPECT_FALSE(platform::IsDirectory(At("f").c_str()));
  EXPECT_FALSE(platform::CreateFoldersOf(At("f\\g\\h").c_str()));  // a file in the way
}

TEST_F(FsTest, CopyKeepsContentsAndTimeAndReplacesTheDestination) {
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
  Put(root_ / "src", big);
  fs::last_write_time(root_ / "src", fs::last_write_time(root_ / "src") - std::chrono::hours(48));
  Put(root_ / u8"表", "old");
  ASSERT_TRUE(platform::CopyOver(At("src").c_str(), At("表").c_str()));
  EXPECT_EQ(Get(root_ / u8"表"), big);
  EXPECT_EQ(TimeOf(At("表")), TimeOf(At("src")));
  EXPECT_FALSE(platform::CopyOver(At("none").c_str(), At("表").c_str()));
  EXPECT_EQ(Get(root_ / u8"表"), big);
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), {}), 2);
}

TEST_F(FsTest, FailedCopyLeavesOldDestinationAndNoTemporaryFile) {
  Put(root_ / "src", std::string(5 << 20, 'n'));
  Put(root_ / "dst", "old contents");
  platform::FailNextCopyAfter(2 << 20);
  EXPECT_FALSE(platform::CopyOver(At("src").c_str(), At("dst").c_str()));
  EXPECT_EQ(Get(root_ / "dst"), "old contents");
  platform::FailNextCopyAfter(1 << 20);  // a new destination is removed again
  EXPECT_FALSE(platform::CopyOver(At("src").c_str(), At("new").c_str()));
  platform::FailNextCopyAfter(0);  // an empty copy fails too
  EXPECT_FALSE(platform::CopyOver(At("src").c_str(), At("new").c_str()));
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), {}), 2);
  EXPECT_TRUE(platform::CopyOver(At("src").c_str(), At("dst").c_str()));  // armed once only
}

// Another program replaces the file examined by the probe, or makes one
// where the probe found nothing, after the new file is written and before
// it is moved: the copy puts nothing in place and reports the change met;
// the other program's file stays, and no temporary file. Probed again, the
// copy goes ahead.
TEST_F(FsTest, CopyActsOnTheFileItsProbeExamined) {
  Put(root_ / "src", "new");
  Put(root_ / "dst", "old");
  struct Swap {
    fs::path root;
    static void Replace(void* self) {
      const fs::path& root = static_cast<Swap*>(self)->root;
      fs::rename(root / "dst", root / "moved");
      Put(root / "dst", "other's");
    }
    static void Make(void* self) { Put(static_cast<Swap*>(self)->root / "fresh", "other's"); }
  } swap{root_};
  auto probeAndCopy = [&](const char* name) {
    platform::CloseFileHandle(platform::OpenExisting(At(name).c_str(), platform::Share::kNone));
    return platform::CopyOver(At("src").c_str(), At(name).c_str());
  };
  platform::OnNextCopyWritten(&Swap::Replace, &swap);
  EXPECT_FALSE(probeAndCopy("dst"));
  EXPECT_TRUE(platform::CopyMetAChange());
  EXPECT_EQ(Get(root_ / "dst"), "other's");
  EXPECT_EQ(Get(root_ / "moved"), "old");
  platform::OnNextCopyWritten(&Swap::Make, &swap);
  EXPECT_FALSE(probeAndCopy("fresh"));
  EXPECT_TRUE(platform::CopyMetAChange());
  EXPECT_EQ(Get(root_ / "fresh"), "other's");
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), {}), 4);
  // Only the last probe of a path counts: an earlier one is out of date.
  platform::CloseFileHandle(platform::OpenExisting(At("dst").c_str(), platform::Share::kNone));
  Put(root_ / "dst", "changed since");
  EXPECT_TRUE(probeAndCopy("dst"));
  EXPECT_FALSE(platform::CopyMetAChange());
  EXPECT_EQ(Get(root_ / "dst"), "new");
}

TEST_F(FsTest, CopyTakesOverTheOpenSource) {
  Put(root_ / "src", "contents");
  platform::FileHandle source = platform::OpenExisting(At("src").c_str(), platform::Share::kNone);
  ASSERT_NE(source, nullptr);
  EXPECT_TRUE(platform::CopyOver(At("src").c_str(), At("dst").c_str(), source));
  EXPECT_EQ(Get(root_ / "dst"), "contents");
  // The source is closed again: Windows would refuse to remove it otherwise.
  fs::remove(root_ / "src");
  EXPECT_FALSE(fs::exists(root_ / "src"));
}

#ifdef _WIN32
// A long-form path of the scratch folder, for folders that the plain calls
// can't make.
std::wstring LongPath(const fs::path& path) { return L"\\\\?\\" + path.wstring(); }

TEST_F(FsTest, DestinationFittingItsAreaCopiesWhateverTheTemporaryName) {
  // A folder of 250 characters and a file of 8: 259 bytes, which fit the
  // 260-byte area, while a temporary name next to it would not.
  std::string folder = base_ + "\\" + std::string(249 - base_.size(), 'f');
  ASSERT_EQ(folder.size(), 250u);
  ASSERT_TRUE(CreateDirectoryW(LongPath(fs::path(folder)).c_str(), nullptr));
  std::string destination = folder + "\\game.exe";
  ASSERT_EQ(destination.size(), 259u);
  Put(root_ / "src", "new");
  Put(destination, "old");
  // The plain calls can't make a file of a temporary name's length there.
  std::string temporary = folder + "\\~vx12345678.tmp";
  HANDLE plain = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  EXPECT_EQ(plain, INVALID_HANDLE_VALUE);
  if (plain != INVALID_HANDLE_VALUE) CloseHandle(plain);
  EXPECT_TRUE(platform::CopyOver(At("src").c_str(), destination.c_str()));
  EXPECT_EQ(Get(destination), "new");
  std::string fresh = folder + "\\game.new";
  EXPECT_TRUE(platform::CopyOver(At("src").c_str(), fresh.c_str()));
  EXPECT_EQ(Get(fresh), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(LongPath(fs::path(folder))), {}), 2);
}

// A second process that holds the next copy's new file without sharing, as
// a virus scanner or an indexer does with a file just closed: file_holder,
// next to this program, started from the copy's hook, which returns once the
// holder holds the file, so that the move finds the file held.
class Scanner {
 public:
  explicit Scanner(DWORD milliseconds) : milliseconds_(milliseconds) {
    platform::OnNextNewFile(&Scanner::Hold, this);
  }
  ~Scanner() {
    platform::OnNextNewFile(nullptr, nullptr);
    LetGo();
  }
  // Waits for the holder to end; true when it held the file.
  bool LetGo() {
    if (process_ == nullptr) return false;
    DWORD code = 1;
    bool ended = WaitForSingleObject(process_, 30000) == WAIT_OBJECT_0 &&
                 GetExitCodeProcess(process_, &code);
    CloseHandle(process_);
    process_ = nullptr;
    return ended && code == 0 && held_;
  }

 private:
  static void Hold(const wchar_t* path, void* context) {
    Scanner* self = static_cast<Scanner*>(context);
    wchar_t program[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, program, MAX_PATH);
    ASSERT_TRUE(n > 0 && n < MAX_PATH);
    std::wstring holder = (fs::path(program).parent_path() / "file_holder.exe").wstring();
    std::wstring line =
        L"\"" + holder + L"\" " + std::to_wstring(self->milliseconds_) + L" \"" + path + L"\"";
    SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherited, 0));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    PROCESS_INFORMATION process = {};
    bool started = CreateProcessW(holder.c_str(), &line[0], nullptr, nullptr, TRUE,
                                  CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);
    if (started) {
      CloseHandle(process.hThread);
      self->process_ = process.hProcess;
      // One byte once the holder holds the file; the pipe's end without it
      // when it could not open it.
      char byte = 0;
      DWORD got = 0;
      self->held_ = ReadFile(readEnd, &byte, 1, &got, nullptr) && got == 1;
    }
    CloseHandle(readEnd);
    EXPECT_TRUE(started) << "can't start file_holder.exe";
  }

  DWORD milliseconds_;
  HANDLE process_ = nullptr;
  bool held_ = false;
};

TEST_F(FsTest, MoveWaitsForAScannerHoldingTheNewFile) {
  Put(root_ / "src", "new");
  Put(root_ / "dst", "old");
  {
    Scanner scanner(300);
    EXPECT_TRUE(platform::CopyOver(At("src").c_str(), At("dst").c_str()));
    EXPECT_TRUE(scanner.LetGo());
  }
  EXPECT_EQ(Get(root_ / "dst"), "new");

  // Held for 3 s, longer than the move waits: the copy fails, the old file
  // stays, and the new one is removed once let go, before the run ends.
  Put(root_ / "src", "newer");
  Scanner scanner(3000);
  EXPECT_FALSE(platform::CopyOver(At("src").c_str(), At("dst").c_str()));
  EXPECT_TRUE(platform::FlushCopies());
  EXPECT_TRUE(scanner.LetGo());
  EXPECT_EQ(Get(root_ / "dst"), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), {}), 2);
}

TEST_F(FsTest, DevicePathsCopyAsLongFormOnes) {
  Put(root_ / "src", "new");
  Put(root_ / "dst", "old");
  const std::string device = "\\\\.\\" + base_;
  EXPECT_TRUE(platform::CopyOver(At("src").c_str(), (device + "\\dst").c_str()));
  EXPECT_TRUE(platform::CopyOver(At("src").c_str(), (device + "\\fresh").c_str()));
  EXPECT_EQ(Get(root_ / "dst"), "new");
  EXPECT_EQ(Get(root_ / "fresh"), "new");
}

// A symbolic link is known by where it leads, not by a flag Wine does not
// report, and written through like the system's own copy does, even when it
// names nothing yet; a dot-file, which Wine reports hidden, is replaced as
// Wine's own copy replaces it.
TEST_F(FsTest, LinksAreWrittenThroughAndDotFilesReplaced) {
  fs::create_directories(root_ / "game");
  fs::create_directories(root_ / "shared");
  Put(root_ / "src", "new");
  Put(root_ / "shared" / "data.dat", "old");
  Put(root_ / "game" / ".settings", "old");
  EXPECT_TRUE(platform::CopyOver(At("src").c_str(), At("game\\.settings").c_str()));
  EXPECT_EQ(Get(root_ / "game" / ".settings"), "new");
  // Wine makes no link of its own: Linux's `ln` (Wine starts Linux
  // programs too) makes them, the one to nothing first.
  for (const wchar_t* name : {L"none.dat", L"data.dat"}) {
    std::wstring line = std::wstring(L"ln -s ../shared/") + name + L" " + name;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"Z:\\bin\\ln", &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                        (root_ / "game").wstring().c_str(), &startup, &process)) {
      GTEST_SKIP() << "no symbolic links can be made here";
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  for (int wait = 0; wait < 100 && !fs::exists(root_ / "game" / "data.dat"); ++wait) Sleep(50);
  Sleep(100);
  ASSERT_TRUE(fs::exists(root_ / "game" / "data.dat"));
  EXPECT_TRUE(platform::CopyOver(At("src").c_str(), At("game\\data.dat").c_str()));
  EXPECT_TRUE(platform::CopyOver(At("src").c_str(), At("game\\none.dat").c_str()));
  EXPECT_EQ(Get(root_ / "shared" / "data.dat"), "new");
  EXPECT_EQ(Get(root_ / "shared" / "none.dat"), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "game"), {}), 3);
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "shared"), {}), 2);
}
#else
TEST_F(FsTest, LinkedDestinationKeepsTheLinkAndReplacesItsTarget) {
  fs::create_directories(root_ / "game");
  fs::create_directories(root_ / "shared");
  Put(root_ / "src", "new");
  Put(root_ / "shared" / "data.dat", "old");
  fs::create_symlink("../shared/data.dat", root_ / "game" / "data.dat");
  fs::create_symlink("../shared/none.dat", root_ / "game" / "none.dat");  // names nothing yet
  EXPECT_TRUE(platform::CopyOver(At("src").c_str(), At("game\\data.dat").c_str()));
  EXPECT_TRUE(platform::CopyOver(At("src").c_str(), At("game\\none.dat").c_str()));
  EXPECT_TRUE(fs::is_symlink(root_ / "game" / "data.dat"));
  EXPECT_TRUE(fs::is_symlink(root_ / "game" / "none.dat"));
  EXPECT_EQ(Get(root_ / "shared" / "data.dat"), "new");
  EXPECT_EQ(Get(root_ / "shared" / "none.dat"), "new");
  EXPECT_EQ(TimeOf(At("shared\\data.dat")), TimeOf(At("src")));
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "game"), {}), 2);
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "shared"), {}), 2);
}

// Runs body in a child process as a user who can't write the scratch
// folder's files unless they are given to him (root: `nobody`; anyone
// else: himself). Returns the child's exit code; -1 when no such user.
int AsOrdinaryUser(const std::function<bool()>& body) {
  uid_t uid = ::geteuid();
  gid_t gid = ::getegid();
  if (uid == 0) {
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr) return -1;
    uid = nobody->pw_uid;
    gid = nobody->pw_gid;
  }
  pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
      ::_exit(3);
    }
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

TEST_F(FsTest, WritableFileInAFolderThatTakesNoNewFileIsWrittenInPlace) {
  fs::create_directories(root_ / "game");
  Put(root_ / "src", "new contents");
  Put(root_ / "game" / "a.dat", "old");
  Put(root_ / "game" / "b.dat", "old");
  fs::last_write_time(root_ / "src", fs::last_write_time(root_ / "src") - std::chrono::hours(5));
  const passwd* nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
  if (::geteuid() == 0 && nobody == nullptr) GTEST_SKIP() << "no unprivileged user `nobody`";
  if (nobody != nullptr) {
    ASSERT_EQ(::chown((root_ / "game" / "a.dat").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(::chown((root_ / "game" / "b.dat").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  }
  fs::permissions(root_ / "game", fs::perms::owner_write, fs::perm_options::remove);
  fs::permissions(root_ / "game" / "b.dat", fs::perms::owner_write, fs::perm_options::remove);
  struct stat st;
  ASSERT_EQ(::stat((root_ / "game" / "a.dat").c_str(), &st), 0);
  const ino_t before = st.st_ino;
  std::string source = At("src");
  std::string a = At("game\\a.dat");
  std::string b = At("game\\b.dat");
  std::string c = At("game\\c.dat");
  EXPECT_EQ(AsOrdinaryUser([&] { return platform::CopyOver(source.c_str(), a.c_str()); }), 0);
  EXPECT_EQ(Get(root_ / "game" / "a.dat"), "new contents");
  ASSERT_EQ(::stat((root_ / "game" / "a.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, before);  // the same file, written in place
  EXPECT_EQ(TimeOf(a), TimeOf(source));
  // A read-only file is still refused, and a new file can't be made there.
  EXPECT_EQ(AsOrdinaryUser([&] { return platform::CopyOver(source.c_str(), b.c_str()); }), 1);
  EXPECT_EQ(Get(root_ / "game" / "b.dat"), "old");
  EXPECT_EQ(AsOrdinaryUser([&] { return platform::CopyOver(source.c_str(), c.c_str()); }), 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "game"), {}), 2);
}

// Runs body in a child process with a private mount namespace in which a
// tmpfs mounted with options covers folder; the mount goes with the child
// whatever happens. Returns the child's exit code: 0 when body raised no
// failure, 77 when no volume could be mounted.
int OnVolumeOfItsOwn(const fs::path& folder, const char* options,
                     const std::function<void()>& body) {
  pid_t child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("vx-test", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) != 0) {
      ::_exit(77);
    }
    body();
    std::fflush(stdout);
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

// The same in-place copy on a volume that is really full: without room for
// the whole new file it fails and leaves the old file as it was.
TEST_F(FsTest, InPlaceCopyStartsOnlyWithRoomForTheWholeNewFile) {
  const passwd* nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
  if (nobody == nullptr) GTEST_SKIP() << "mounting a small volume needs root and a user `nobody`";
  const std::string big(200 << 10, 'b'), small(40 << 10, 's');
  Put(root_ / "big", big);
  Put(root_ / "small", small);
  const fs::path volume = root_ / "vol", file = volume / "game" / "data.dat";
  fs::create_directories(volume);
  const std::string bigPath = At("big"), smallPath = At("small"),
                    target = At("vol\\game\\data.dat");
  auto copyAsNobody = [&](const std::string& source) {
    return AsOrdinaryUser([&] {
      // Probed just before, as the run probes it: a copy holds to what the
      // last probe of its destination found.
      platform::File(platform::OpenExisting(target.c_str(), platform::Share::kNone));
      return platform::CopyOver(source.c_str(), target.c_str());
    });
  };
  int code = OnVolumeOfItsOwn(volume, "size=256k,mode=0755", [&] {
    fs::create_directories(volume / "game");  // root's: nobody makes no file in it
    Put(file, "old contents");
    ASSERT_EQ(::chown(file.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    fs::last_write_time(file, fs::last_write_time(file) - std::chrono::hours(5));
    const uint64_t oldTime = TimeOf(target);
    // Filled up to 64 KiB of room: less than the big file needs.
    struct statvfs room;
    ASSERT_EQ(::statvfs(volume.c_str(), &room), 0);
    Put(volume / "filler", std::string(room.f_bavail * room.f_frsize - (64 << 10), 'f'));
    ASSERT_EQ(::statvfs(volume.c_str(), &room), 0);
    ASSERT_EQ(room.f_bavail * room.f_frsize, 64u << 10);
    EXPECT_EQ(copyAsNobody(bigPath), 1);
    EXPECT_EQ(Get(file), "old contents");
    EXPECT_EQ(TimeOf(target), oldTime);
    EXPECT_EQ(copyAsNobody(smallPath), 0);
    EXPECT_TRUE(Get(file) == small);
    fs::remove(volume / "filler");
    EXPECT_EQ(copyAsNobody(bigPath), 0);
    EXPECT_TRUE(Get(file) == big);
    EXPECT_EQ(TimeOf(target), TimeOf(bigPath));
    EXPECT_EQ(std::distance(fs::directory_iterator(volume / "game"), {}), 1);
  });
  if (code == 77) GTEST_SKIP() << "no tmpfs can be mounted in a mount namespace of its own here";
  EXPECT_EQ(code, 0);
}
#endif

TEST_F(FsTest, TimeIsInWindowsFileTimeUnits) {
  Put(root_ / "a", "x");
  Put(root_ / "b", "x");
  auto stamp = std::chrono::floor<std::chrono::seconds>(fs::last_write_time(root_ / "a"));
  fs::last_write_time(root_ / "a", stamp);
  fs::last_write_time(root_ / "b", stamp + std::chrono::seconds(10));
  EXPECT_EQ(TimeOf(At("b")) - TimeOf(At("a")), 100000000u);
  // 2020-01-01 is 132223104000000000 units after 1601-01-01.
  EXPECT_GT(TimeOf(At("a")), 132223104000000000u);
}

}  // namespace
