// deltatool: makes and applies single-file deltas, for benchmarks and for
// checking a delta by hand.
//   deltatool make [--pack] OLD NEW DELTA
//                                    writes a delta that turns OLD into NEW
//                                    (--pack: entry by entry, for packs)
//   deltatool apply OLD DELTA OUT    applies it (OUT is written only if it checks)
//   deltatool copyrun PATCH INSTALL  runs the installer's copy run from the
//                                    patch folder PATCH (its update.lst and
//                                    update.sum) into INSTALL, every box
//                                    answered with its first button, and
//                                    prints the run's own time: for timing
//                                    checked copies in both builds
//   deltatool --help | --version
// Exit status: 0 done; 1 a file can't be read or written; 2 the delta
// does not apply; 64 a usage error.
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>

#include "app/copy_run.h"
#include "app/update_list.h"
#include "delta/apply.h"
#include "delta/make.h"
#include "platform/dialog.h"

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#define VX_CHDIR _chdir
#else
#include <time.h>
#include <unistd.h>
#define VX_CHDIR ::chdir
#endif

namespace {

constexpr char kUsage[] =
    "usage: deltatool make [--pack] OLD NEW DELTA\n"
    "       deltatool apply OLD DELTA OUT\n"
    "       deltatool copyrun PATCH INSTALL   (ASCII paths)\n";

bool ReadWhole(const char* path, std::string* out) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  std::streamoff size = in.tellg();
  if (size < 0) return false;
  out->resize(static_cast<size_t>(size));
  in.seekg(0);
  return static_cast<bool>(in.read(out->data(), size));
}

class FileOutput : public delta::Output {
 public:
  explicit FileOutput(std::FILE* file) : m_file(file) {}
  bool Write(const void* data, uint32_t count) override {
    return std::fwrite(data, 1, count, m_file) == count;
  }

 private:
  std::FILE* m_file;
};

int Make(const char* oldPath, const char* newPath, const char* deltaPath, bool pack) {
  std::string old, next;
  if (!ReadWhole(oldPath, &old) || !ReadWhole(newPath, &next)) {
    std::fprintf(stderr, "deltatool: can't read %s or %s\n", oldPath, newPath);
    return 1;
  }
  if (old.size() > delta::kMaxMakeBase) {
    std::fprintf(stderr, "deltatool: %s is too large to make a delta against\n", oldPath);
    return 1;
  }
  const uint8_t* o = reinterpret_cast<const uint8_t*>(old.data());
  const uint8_t* n = reinterpret_cast<const uint8_t*>(next.data());
  std::string made = pack ? delta::MakePackDelta(o, old.size(), n, next.size())
                          : delta::MakeDelta(o, old.size(), n, next.size());
  std::FILE* out = std::fopen(deltaPath, "wb");
  bool ok = out != nullptr && std::fwrite(made.data(), 1, made.size(), out) == made.size();
  if (out != nullptr && std::fclose(out) != 0) ok = false;
  if (!ok) {
    std::remove(deltaPath);
    std::fprintf(stderr, "deltatool: can't write %s\n", deltaPath);
    return 1;
  }
  std::printf("%s: %zu bytes for %zu new bytes\n", deltaPath, made.size(), next.size());
  return 0;
}

int Apply(const char* oldPath, const char* deltaPath, const char* outPath) {
  std::FILE* file = std::fopen(outPath, "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "deltatool: can't write %s\n", outPath);
    return 1;
  }
  FileOutput out(file);
  delta::ApplyResult result = delta::ApplyDeltaFiles(deltaPath, oldPath, &out);
  bool closed = std::fclose(file) == 0;
  if (result != delta::ApplyResult::kApplied || !closed) {
    std::remove(outPath);
    std::fprintf(stderr, "deltatool: %s: %s\n", deltaPath,
                 closed ? delta::ApplyResultText(result) : "the result can't be written");
    return result == delta::ApplyResult::kWriteFailed || !closed ? 1 : 2;
  }
  return 0;
}

// Seconds on a clock that only goes forward.
double Seconds() {
#ifdef _WIN32
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
#else
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
#endif
}

// Answers every box with its first button and counts the error boxes.
class FirstButton : public platform::DialogueBackend {
 public:
  int Show(const char*, const char*, uint32_t style) override {
    if (style == platform::kStyleError) ++m_errors;
    return style == platform::kStyleYesNo ? platform::kButtonYes : platform::kButtonOk;
  }
  int m_errors = 0;
};

int CopyRun(const char* patch, const char* install) {
  size_t length = std::strlen(install);
  if (VX_CHDIR(patch) != 0 || length >= sizeof(UpdateSettings.m_installDir) ||
      !ReadUpdateList("update.lst")) {
    std::fprintf(stderr, "deltatool: %s: no patch folder with an update list\n", patch);
    return 1;
  }
  std::memcpy(UpdateSettings.m_installDir, install, length + 1);
  FirstButton boxes;
  platform::SetDialogueBackend(&boxes);
  double start = Seconds();
  bool done = RunUpdate();
  double took = Seconds() - start;
  platform::SetDialogueBackend(nullptr);
  std::printf("copy run: %.3f s, %s\n", took,
              done && boxes.m_errors == 0 ? "every file copied" : "a file failed");
  return done && boxes.m_errors == 0 ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
      std::printf("deltatool %s\n", VX_VERSION);
      return 0;
    }
    if (argc == 5 && std::strcmp(argv[1], "make") == 0) {
      return Make(argv[2], argv[3], argv[4], false);
    }
    if (argc == 6 && std::strcmp(argv[1], "make") == 0 && std::strcmp(argv[2], "--pack") == 0) {
      return Make(argv[3], argv[4], argv[5], true);
    }
    if (argc == 5 && std::strcmp(argv[1], "apply") == 0) return Apply(argv[2], argv[3], argv[4]);
    if (argc == 4 && std::strcmp(argv[1], "copyrun") == 0) return CopyRun(argv[2], argv[3]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "deltatool: %s\n", e.what());
    return 1;
  }
  std::fputs(kUsage, stderr);
  return 64;
}
