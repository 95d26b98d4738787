// audio_out/test_util.h: temporary files and packed tones for the audio_out
// tests.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pitch/tone.h"

// A path in the test's temporary directory, quemblet_<name>_<pid><suffix>:
// the same for the same name within one test process.
inline std::string TempPath(const std::string& name, const std::string& suffix) {
  return testing::TempDir() + "quemblet_" + name + "_" + std::to_string(getpid()) + suffix;
}

// The whole file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// `frames` frames of a `hz` Hz tone at `rate` Hz, peak `level` percent,
// packed as the sound device and the WAV file take them (3 bytes a frame).
inline std::vector<unsigned char> PackedTone(float hz, uint32_t rate, int64_t frames,
                                             float level = 25) {
  std::vector<int64_t> samples(static_cast<size_t>(frames));
  std::vector<unsigned char> block(static_cast<size_t>(frames) * 3);
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
