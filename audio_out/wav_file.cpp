#include "audio_out/wav_file.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kHeaderBytes = 44;

void ReportFailure() { std::puts("Unable to write to file!"); }

}  // namespace

void Decon2(uint16_t value, unsigned char* out) {
  out[0] = static_cast<unsigned char>(value & 0xFF);
  out[1] = static_cast<unsigned char>(value >> 8);
}

void Decon4(int64_t value, unsigned char* out) {
  // Successive truncating divisions, most significant byte first; each byte
  // keeps the low 8 bits of its quotient.
  int64_t rest = value;
  out[3] = static_cast<unsigned char>(rest / 16777216);
  rest %= 16777216;
  out[2] = static_cast<unsigned char>(rest / 65536);
  rest %= 65536;
  out[1] = static_cast<unsigned char>(rest / 256);
  out[0] = static_cast<unsigned char>(rest % 256);
}

int MAKE_HEADER(const char* path, uint32_t rate, uint32_t bits, int64_t frames) {
  const uint32_t bytes_per_sample = bits / 8;
  const int64_t data_bytes = frames * bytes_per_sample;
  unsigned char header[kHeaderBytes];
  std::memcpy(header + 0, "RIFF", 4);
  Decon4(data_bytes + 36, header + 4);
  std::memcpy(header + 8, "WAVE", 4);
  std::memcpy(header + 12, "fmt ", 4);
  Decon4(16, header + 16);  // format chunk size
  Decon2(1, header + 20);   // integer PCM
  Decon2(1, header + 22);   // mono
  Decon4(rate, header + 24);
  Decon4(static_cast<int64_t>(rate) * bytes_per_sample, header + 28);  // byte rate
  Decon2(static_cast<uint16_t>(bytes_per_sample), header + 32);        // block align
  Decon2(static_cast<uint16_t>(bits), header + 34);
  std::memcpy(header + 36, "data", 4);
  Decon4(data_bytes, header + 40);

  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    ReportFailure();
    return 0;
  }
  const bool written = std::fwrite(header, 1, kHeaderBytes, file) == kHeaderBytes;
  // A full disk may only show when the buffered header is flushed at close.
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    ReportFailure();
    return 0;
  }
  return 1;
}

int32_t WriteFile(const char* path, const unsigned char* block, int64_t frames, int32_t bits) {
  FILE* file = std::fopen(path, "ab");
  if (file == nullptr) {
    ReportFailure();
    return 0;
  }
  const int64_t bytes = frames > 0 ? frames * (bits / 8) : 0;
  // One unbuffered call: the block is already in memory, copying it through
  // stdio's buffer would only cost time.
  std::setvbuf(file, nullptr, _IONBF, 0);
  size_t written = 0;
  if (bytes > 0) written = std::fwrite(block, 1, static_cast<size_t>(bytes), file);
  const bool closed = std::fclose(file) == 0;
  if (static_cast<int64_t>(written) != bytes || !closed) ReportFailure();
  return static_cast<int32_t>(written);
}
