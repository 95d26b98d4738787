// libFuzzer target: arbitrary bytes are the menu's input.
//
// Most words play a tone, and a tone costs far more than reading a word:
// opening and closing the device, mapping and unmapping its arrays. So
// every tone may take at most kMemoryBudget bytes: the starting length of
// 8 s is refused with one line like any longer tone, and an input reaches
// synthesis and the device by shortening the length or lowering the rate,
// as the seeds do. That keeps the fuzzer at over a thousand inputs a
// second, while a tone can still be long enough for the device to take it
// in more than one write.
//
// The sound device stays ALSA's null device. alsa-lib reads a private
// configuration that defines only that device, so the machine's own has no
// say, and every 's' in the input becomes 'S', so that no input can name
// another device: one that cannot be opened ends the process, as it must,
// and libFuzzer would report that as a failure. (Rewriting the byte is the
// one sure way without knowing how the menu splits its input into answers
// and words; it costs only the device command.) Exports land in a private
// directory beside the configuration, which they cannot reach: '/' becomes
// '_'.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/menu.h"
#include "console/settings.h"

namespace {

// Tones of up to 2978 frames (68 ms at 44100 Hz), 11 bytes a frame:
// nearly three device periods.
constexpr int64_t kMemoryBudget = 32 * 1024;

// Private: the ALSA configuration, and exports/, the current directory.
std::string work_dir;

void RemoveWorkDir() {
  rmdir((work_dir + "/exports").c_str());
  std::remove((work_dir + "/alsa.conf").c_str());
  rmdir(work_dir.c_str());
}

void RemoveExports() {
  DIR* dir = opendir(".");
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") std::remove(name.c_str());
  }
  closedir(dir);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/quemblet_fuzz_XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  work_dir = pattern;
  std::atexit(RemoveWorkDir);
  const std::string exports = work_dir + "/exports";
  if (mkdir(exports.c_str(), 0700) != 0 || chdir(exports.c_str()) != 0) std::abort();
  const std::string config = work_dir + "/alsa.conf";
  FILE* file = std::fopen(config.c_str(), "w");
  if (file == nullptr || std::fputs("pcm.null { type null }\n", file) < 0 ||
      std::fclose(file) != 0) {
    std::abort();
  }
  if (setenv("ALSA_CONFIG_PATH", config.c_str(), 1) != 0) std::abort();
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  for (char& c : input) {
    if (c == '/') c = '_';
    if (c == 's') c = 'S';
  }
  // fmemopen refuses an empty buffer; an empty input is the end of input.
  FILE* in = size > 0 ? fmemopen(input.data(), input.size(), "r") : std::fopen("/dev/null", "r");
  if (in == nullptr) std::abort();
  ToneSettings settings;
  settings.device = "null";
  RunMenu(settings, in, kMemoryBudget);
  std::fclose(in);
  RemoveExports();
  return 0;
}
