// Synthesis and packing against the floor of the work: one libm sin per
// frame over the same arguments. Run: build/bench/tone_bench
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

#include "pitch/tone.h"

namespace {

constexpr uint32_t kRate = 44100;
constexpr double kStep = 440 * 6.283185307179586 / kRate;

int64_t Frames(const benchmark::State& state) { return state.range(0) * kRate; }

void BM_BareSin(benchmark::State& state) {
  const int64_t frames = Frames(state);
  std::unique_ptr<int64_t[]> samples(new int64_t[frames]);
  for (auto _ : state) {
    for (int64_t k = 0; k < frames; ++k)
      samples[k] = static_cast<int64_t>(std::sin(static_cast<double>(k) * kStep) * 2097152.0);
    benchmark::DoNotOptimize(samples.get());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * frames);
}

void BM_MakeToneAndPack(benchmark::State& state) {
  const int64_t frames = Frames(state);
  std::unique_ptr<int64_t[]> samples(new int64_t[frames]);
  std::unique_ptr<unsigned char[]> block(new unsigned char[frames * 3]);
  for (auto _ : state) {
    MakeTone(samples.get(), 440, kRate, frames, 25);
    NUM24_TO_CHAR(samples.get(), block.get(), frames);
    benchmark::DoNotOptimize(block.get());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * frames);
}

// Tone lengths in seconds: the default 8 s and a ten-minute export.
BENCHMARK(BM_BareSin)->Arg(8)->Arg(600)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MakeToneAndPack)->Arg(8)->Arg(600)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
