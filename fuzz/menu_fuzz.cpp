// libFuzzer target: arbitrary bytes are the menu's standard input.
//
// Every tone plays on ALSA's null device whatever device name the input
// gives (snd_pcm_open is wrapped at link time), exports land in a private
// temporary directory ('/' in the input becomes '_'), and the machine looks
// like one of 8 MiB (sysconf is wrapped) so that the program's own memory
// limit keeps every tone small and fast.
#include <alsa/asoundlib.h>
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/menu.h"
#include "console/settings.h"

extern "C" int __real_snd_pcm_open(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream,
                                   int mode);
extern "C" int __wrap_snd_pcm_open(snd_pcm_t** pcm, const char*, snd_pcm_stream_t stream,
                                   int mode) {
  return __real_snd_pcm_open(pcm, "null", stream, mode);
}

extern "C" long __real_sysconf(int name);
extern "C" long __wrap_sysconf(int name) {
  if (name == _SC_PHYS_PAGES) return (8L << 20) / __real_sysconf(_SC_PAGESIZE);
  return __real_sysconf(name);
}

namespace {

std::string work_dir;

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
  if (mkdtemp(pattern) == nullptr || chdir(pattern) != 0) std::abort();
  work_dir = pattern;
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  for (char& c : input) {
    if (c == '/') c = '_';
  }
  FILE* in = size > 0 ? fmemopen(input.data(), input.size(), "r") : std::fopen("/dev/null", "r");
  if (in == nullptr) std::abort();
  FILE* const saved = stdin;
  stdin = in;
  ToneSettings settings;
  settings.device = "null";
  settings.length = 0.01f;  // the starting length; the input may change it
  RunMenu(settings);
  stdin = saved;
  std::fclose(in);
  RemoveExports();
  return 0;
}
