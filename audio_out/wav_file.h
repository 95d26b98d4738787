// audio_out/wav_file.h: mono PCM WAV files, all fields little-endian.
#pragma once
#include <cstdint>

// The header's size and rate fields are 32 bits wide. The RIFF size counts
// the 36 header bytes after it as well as the data, so the data can be at
// most 2^32 - 1 - 36 bytes long, and the byte rate (rate x bytes per
// sample) at most 2^32 - 1 bytes a second.
constexpr int64_t kMaxWavDataBytes = 4294967259;
constexpr int64_t kMaxWavByteRate = 4294967295;

// Creates or truncates `path` and writes the 44-byte RIFF/WAVE header of a
// mono file of `frames` frames at `rate` Hz and `bits` bits per sample.
// Returns 1 when the whole header was written. When the file cannot be
// opened or the header cannot be written completely (a full disk, an I/O
// error), prints "Unable to write to file!" on stdout and returns 0.
// REQUIRES: 0 <= frames x bits / 8 <= kMaxWavDataBytes and
// rate x bits / 8 <= kMaxWavByteRate, so that every field holds its value.
int MAKE_HEADER(const char* path, uint32_t rate, uint32_t bits, int64_t frames);

// Appends frames x (bits / 8) bytes of `block` to `path` and returns the
// number of bytes written, cut to 32 bits. When the file cannot be opened,
// prints "Unable to write to file!" on stdout and returns 0; when the data
// cannot be written completely, prints the same line and returns the bytes
// that were written.
int32_t WriteFile(const char* path, const unsigned char* block, int64_t frames, int32_t bits);

// Stores `value` in out[0, 2), least significant byte first.
void Decon2(uint16_t value, unsigned char* out);

// Stores `value` in out[0, 4), least significant byte first. The plain
// little-endian form for 0 <= value < 2^32.
void Decon4(int64_t value, unsigned char* out);
