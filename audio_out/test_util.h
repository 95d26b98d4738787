// audio_out/test_util.h: temporary files, packed tones and recordings for
// the audio_out tests (the console tests use them too).
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pitch/tone.h"

// A fresh path in the test's temporary directory, ending in `suffix`, whose
// file is removed when the object goes out of scope, also when an assertion
// failed on the way. Nothing is created: the path is for the code under test.
class ScopedTempFile {
 public:
  explicit ScopedTempFile(const std::string& suffix)
      : path_(testing::TempDir() + "quemblet_" + std::to_string(getpid()) + "_" +
              std::to_string(next_++) + suffix) {
    // One left by a process of the same number that crashed would be
    // appended to.
    std::remove(path_.c_str());
  }
  ~ScopedTempFile() { std::remove(path_.c_str()); }
  ScopedTempFile(const ScopedTempFile&) = delete;
  ScopedTempFile& operator=(const ScopedTempFile&) = delete;

  const std::string& path() const { return path_; }
  const char* c_str() const { return path_.c_str(); }

 private:
  static inline int next_ = 0;
  std::string path_;
};

// The whole file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// While in scope, the test devices (qt_*, and "default" in the tests' ALSA
// configuration) record every frame they are handed, also in programs
// started meanwhile.
class ScopedCapture {
 public:
  ScopedCapture() : file_(".raw") { setenv("QUEMBLET_TEST_CAPTURE", file_.c_str(), 1); }
  ~ScopedCapture() { unsetenv("QUEMBLET_TEST_CAPTURE"); }
  std::string Recording() const { return ReadFile(file_.path()); }

 private:
  ScopedTempFile file_;
};

// `frames` frames of a `hz` Hz tone at `rate` Hz, peak `level` percent,
// packed as the sound device and the WAV file take them (3 bytes a frame).
inline std::vector<unsigned char> PackedTone(float hz, uint32_t rate, int64_t frames,
                                             float level = 25) {
  std::vector<int64_t> samples(static_cast<size_t>(frames));
  std::vector<unsigned char> block(static_cast<size_t>(frames * kPackedFrameBytes));
  MakeTone(samples.data(), hz, rate, frames, level);
  NUM24_TO_CHAR(samples.data(), block.data(), frames);
  return block;
}

// Checks a recording of two interleaved channels of 3-byte samples, as the
// file device and the test device keep it: both channels carry `tone` from
// its start, cut short by at most one device period.
inline void ExpectPlayed(const std::string& recording, const std::vector<unsigned char>& tone) {
  ASSERT_EQ(0u, recording.size() % 6);
  const size_t frames = recording.size() / 6, tone_frames = tone.size() / 3;
  ASSERT_LE(frames, tone_frames);
  EXPECT_GE(frames + 1024, tone_frames) << "more than one period left unsent";
  for (size_t k = 0; k < frames; ++k) {
    const char* want = reinterpret_cast<const char*>(&tone[3 * k]);
    ASSERT_EQ(0, recording.compare(6 * k, 3, want, 3)) << "left, frame " << k;
    ASSERT_EQ(0, recording.compare(6 * k + 3, 3, want, 3)) << "right, frame " << k;
  }
}
