// Which volumes a copy trusts to log a file's name after its contents: the
// decision that spares the batches' flushes must never be made for a volume
// that does not order the two.
#include "platform/posix/files/volumes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/posix/files/descriptor.h"

namespace {

namespace fs = std::filesystem;

bool Shell(const std::string& command) {
  return std::system(("{ " + command + "; } >/dev/null 2>&1").c_str()) == 0;
}

// The decision for the volume of the folder at path.
bool Orders(const fs::path& path) {
  platform::posix::Descriptor folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  EXPECT_GE(folder.get(), 0) << path;
  EXPECT_EQ(::fstat(folder.get(), &st), 0) << path;
  return platform::posix::WritebackOrdersNaming(folder.get(), st.st_dev);
}

TEST(VolumesTest, OnlyAJournalOrAnXfsLogOrdersANameAfterTheContents) {
  // Memory outlives no power cut: nothing to order, and nothing waited for.
  if (fs::is_directory("/dev/shm")) {
    EXPECT_FALSE(Orders("/dev/shm"));
  }

  if (::geteuid() != 0 || !Shell("command -v mkfs.ext4 && command -v mkfs.xfs")) {
    GTEST_SKIP() << "loop volumes need root, mkfs.ext4 and mkfs.xfs (Debian: e2fsprogs, xfsprogs)";
  }
  const fs::path root =
      fs::temp_directory_path() / ("vx-volumes-" + std::to_string(std::random_device()()));
  fs::create_directories(root);
  struct Volume {
    std::string name;
    std::string mkfs;
    bool orders;
  };
  // All mounted at once: a loop device let go may come back with the same
  // number for the next image, and a process decides once per device.
  const std::vector<Volume> volumes = {
      {"journaled", "mkfs.ext4 -q -F", true},
      {"unjournaled", "mkfs.ext4 -q -F -O ^has_journal", false},
      {"xfs", "mkfs.xfs -q -f", true},
  };
  std::vector<fs::path> mounted;
  bool made = true;
  for (const Volume& volume : volumes) {
    const fs::path image = root / (volume.name + ".img"), mount = root / volume.name;
    fs::create_directories(mount);
    std::ofstream(image).close();
    fs::resize_file(image, 320 << 20);
    if (!Shell(volume.mkfs + " " + image.string()) ||
        !Shell("mount -o loop " + image.string() + " " + mount.string())) {
      made = false;
      break;
    }
    mounted.push_back(mount);
  }
  if (made) {
    for (size_t i = 0; i < volumes.size(); ++i) {
      EXPECT_EQ(Orders(mounted[i]), volumes[i].orders) << volumes[i].name;
    }
  }
  for (const fs::path& mount : mounted) Shell("umount " + mount.string());
  std::error_code ignored;
  fs::remove_all(root, ignored);
  if (!made) GTEST_SKIP() << "no loop volumes can be made and mounted here";
}

}  // namespace
