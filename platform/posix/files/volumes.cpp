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

// ext4 puts the contents of a file renamed over another on disk before the
// rename (its auto_da_alloc, in a journal that orders data before the
// metadata that names it); without a journal, or with data=writeback or
// noauto_da_alloc, nothing does. The options are those the kernel lists
// for the volume's block device.
bool Ext4OrdersReplacing(dev_t device) {
  char link[64];
  std::snprintf(link, sizeof(link), "/sys/dev/block/%u:%u", major(device), minor(device));
  char target[256];
  ssize_t n = ::readlink(link, target, sizeof(target) - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  std::string name(target);
  name = name.substr(name.rfind('/') + 1);
  std::ifstream options("/proc/fs/ext4/" + name + "/options");
  bool ordered = false;
  bool allocates = false;
  for (std::string line; std::getline(options, line);) {
    if (line == "data=ordered" || line == "data=journal") ordered = true;
    if (line == "auto_da_alloc") allocates = true;
  }
  return ordered && allocates;
}

bool Volatile(long type) { return type == kTmpfs || type == kRamfs; }

bool DecideFlush(long type, dev_t device) {
  switch (type) {
    case kTmpfs:
    case kRamfs:
      return false;  // nothing of it outlives a power cut
    case kBtrfs:
      return false;  // writes a file renamed over another before the rename's commit
    case kExt4:
      return !Ext4OrdersReplacing(device);
    default:
      return true;  // XFS among them
  }
}

struct Volume {
  dev_t device = 0;
  bool flushBeforeReplacing = true;
  bool flushBeforeNaming = true;
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
      volume.flushBeforeReplacing = DecideFlush(type, device);
      volume.flushBeforeNaming = !Volatile(type);
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

void NoteVolumeWritten(int folder, dev_t device) { TheVolumes().Written(folder, device); }

bool FlushVolumes() { return TheVolumes().Flush(); }

}  // namespace platform::posix
