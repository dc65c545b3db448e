#include "platform/posix/files/volumes.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/files/descriptor.h"

namespace platform::posix {
namespace {

constexpr long kTmpfs = 0x01021994;
constexpr long kRamfs = 0x858458f6;
constexpr long kExt4 = 0xEF53;  // ext2, ext3 and ext4 alike
constexpr long kBtrfs = 0x9123683E;
constexpr long kXfs = 0x58465342;

// What the kernel lists of an ext4 volume's options.
struct Ext4Options {
  bool journaled = false;  // a journal (its data mode is listed)
  bool ordered = false;    // data=ordered or data=journal
  bool allocates = false;  // auto_da_alloc
};

// The options are those the kernel lists for the volume's block device.
Ext4Options ReadExt4Options(dev_t device) {
  Ext4Options found;
  char link[64];
  std::snprintf(link, sizeof(link), "/sys/dev/block/%u:%u", major(device), minor(device));
  char target[256];
  ssize_t n = ::readlink(link, target, sizeof(target) - 1);
  if (n <= 0) return found;
  target[n] = '\0';
  std::string name(target);
  name = name.substr(name.rfind('/') + 1);
  std::ifstream options("/proc/fs/ext4/" + name + "/options");
  for (std::string line; std::getline(options, line);) {
    if (line.rfind("data=", 0) == 0) found.journaled = true;
    if (line == "data=ordered" || line == "data=journal") found.ordered = true;
    if (line == "auto_da_alloc") found.allocates = true;
  }
  return found;
}

// ext4 puts the contents of a file renamed over another on disk before the
// rename (its auto_da_alloc, in a journal that orders data before the
// metadata that names it); without a journal, or with data=writeback or
// noauto_da_alloc, nothing does.
bool Ext4OrdersReplacing(const Ext4Options& options) {
  return options.ordered && options.allocates;
}

bool Volatile(long type) { return type == kTmpfs || type == kRamfs; }

bool DecideFlush(long type, const Ext4Options& ext4) {
  switch (type) {
    case kTmpfs:
    case kRamfs:
      return false;  // nothing of it outlives a power cut
    case kBtrfs:
      return false;  // writes a file renamed over another before the rename's commit
    case kExt4:
      return !Ext4OrdersReplacing(ext4);
    default:
      return true;  // XFS among them
  }
}

// A journaled ext4 and XFS log a file's size and blocks when its writeback
// ends, before the write counts as done, and replay their log in order: a
// name logged after that never outlives a power cut without the contents.
// (Without a journal nothing is ordered; btrfs may finish a file's extents
// after its writeback ends.)
bool DecideWritebackOrders(long type, const Ext4Options& ext4) {
  return type == kXfs || (type == kExt4 && ext4.journaled);
}

struct Volume {
  dev_t device = 0;
  bool flushBeforeReplacing = true;
  bool flushBeforeNaming = true;
  bool writebackOrdersNaming = false;
  bool written = false;
  Descriptor sync;  // a folder of the volume, open for syncfs
};

class Volumes {
 public:
  bool FlushBefore(int folder, dev_t device) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Volume* volume = Find(folder, device);
    return volume == nullptr || volume->flushBeforeReplacing;
  }

  bool FlushBeforeNaming(int folder, dev_t device) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Volume* volume = Find(folder, device);
    return volume == nullptr || volume->flushBeforeNaming;
  }

  bool WritebackOrders(int folder, dev_t device) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Volume* volume = Find(folder, device);
    return volume != nullptr && volume->writebackOrdersNaming;
  }

  void Written(int folder, dev_t device) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Volume* volume = Find(folder, device);
    if (volume == nullptr) {
      m_syncAll = true;
      return;
    }
    volume->written = true;
    if (volume->sync.get() >= 0) return;
    // Kept only while the process may keep descriptors; otherwise the
    // flush syncs every volume.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 64) {
      m_syncAll = true;
      return;
    }
    volume->sync.reset(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (volume->sync.get() < 0) m_syncAll = true;
  }

  // The flushes run without the lock: the copy asks what a volume needs
  // while the flush thread waits for the disk. (A volume's descriptor,
  // once opened, stays open until the process ends.)
  bool Flush() {
    int fds[kMaxVolumes];
    size_t count = 0;
    bool all = false;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      for (Volume& volume : m_volumes) {
        if (!volume.written || volume.sync.get() < 0) continue;
        volume.written = false;
        fds[count++] = volume.sync.get();
      }
      all = m_syncAll;
      m_syncAll = false;
    }
    bool ok = true;
    for (size_t i = 0; i < count; ++i) {
      if (::syncfs(fds[i]) != 0) ok = false;
    }
    if (all) ::sync();
    return ok;
  }

 private:
  static constexpr size_t kMaxVolumes = 16;

  Volume* Find(int folder, dev_t device) {
    for (Volume& volume : m_volumes) {
      if (volume.device == device) return &volume;
    }
    if (m_volumes.size() >= kMaxVolumes) return nullptr;
    m_volumes.reserve(kMaxVolumes);
    Volume& volume = m_volumes.emplace_back();
    volume.device = device;
    struct statfs fs;
    if (::fstatfs(folder, &fs) == 0) {
      const long type = static_cast<long>(fs.f_type);
      const Ext4Options ext4 = type == kExt4 ? ReadExt4Options(device) : Ext4Options();
      volume.flushBeforeReplacing = DecideFlush(type, ext4);
      volume.flushBeforeNaming = !Volatile(type);
      volume.writebackOrdersNaming = DecideWritebackOrders(type, ext4);
    }
    return &volume;
  }

  std::mutex m_mutex;
  std::vector<Volume> m_volumes;
  bool m_syncAll = false;  // a volume written that has no descriptor of its own
};

Volumes& TheVolumes() {
  static Volumes* volumes = new Volumes;  // used until the process ends
  return *volumes;
}

}  // namespace

bool FlushBeforeReplacing(int folder, dev_t device) {
  return TheVolumes().FlushBefore(folder, device);
}

bool FlushBeforeNaming(int folder, dev_t device) {
  return TheVolumes().FlushBeforeNaming(folder, device);
}

bool WritebackOrdersNaming(int folder, dev_t device) {
  return TheVolumes().WritebackOrders(folder, device);
}

bool StartWriteback(int fd) {
  int result;
  do result = ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  while (result != 0 && errno == EINTR);
  return result == 0;
}

bool WaitWriteback(int fd) {
  int result;
  do {
    result = ::sync_file_range(
        fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool WrittenBack(int fd) {
  // The writes of every page started first, then each waited for: one call
  // that did both would wait for a page under way before it starts the rest.
  return StartWriteback(fd) && WaitWriteback(fd);
}

void NoteVolumeWritten(int folder, dev_t device) { TheVolumes().Written(folder, device); }

bool FlushVolumes() { return TheVolumes().Flush(); }

}  // namespace platform::posix
