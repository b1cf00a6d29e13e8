// bench_convert.cpp - the in-process parts of a unit's road, timed with
// Google Benchmark: byte-order conversion of whole units beside a plain
// copy-plus-byte-swap loop over the same bytes, the copy of a block into the
// ring buffer beside memcpy, and the converting sender's assembly.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "RingBuffer.h"
#include "VRQ5evutl.h"

namespace {

constexpr size_t kHeaderBytes = sizeof(vrq5_eventheader);

// A host-order 2010 event of length bytes, header first.
std::vector<char> event_unit(size_t length) {
  std::vector<char> unit(length, 0x5a);
  vrq5_eventheader header{};
  header.pattern = VRQ5_PATTERN_EVENT_2010;
  header.event_length = static_cast<uint32_t>(length);
  std::memcpy(unit.data(), &header, sizeof header);
  return unit;
}

void set_bytes(benchmark::State& state, size_t length) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(length));
}

// The floor: load a word, swap it, store it, from one buffer to another.
void BM_CopySwapLoop(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  std::vector<char> src = event_unit(length);
  std::vector<char> dst(length);
  for (auto _ : state) {
    for (size_t i = 0; i + 4 <= length; i += 4) {
      uint32_t word;
      std::memcpy(&word, src.data() + i, 4);
      word = __builtin_bswap32(word);
      std::memcpy(dst.data() + i, &word, 4);
    }
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  set_bytes(state, length);
}

// The speed of memory: what a body conversion is measured against.
void BM_Memcpy(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  std::vector<char> src = event_unit(length);
  std::vector<char> dst(length);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), length);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  set_bytes(state, length);
}

// A body turned while it is copied, as the converting sender gathers each
// element into its send buffer.
void BM_ConvertBody(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  std::vector<char> src = event_unit(length);
  std::vector<char> dst(length);
  for (auto _ : state) {
    benchmark::DoNotOptimize(vrq5_convert_words_sized(src.data(), dst.data(), length));
    benchmark::ClobberMemory();
  }
  set_bytes(state, length);
}

// The same body turned in place.
void BM_ConvertBodyInPlace(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  std::vector<char> unit = event_unit(length);
  for (auto _ : state) {
    benchmark::DoNotOptimize(vrq5_convert_words_sized(unit.data(), unit.data(), length));
    benchmark::ClobberMemory();
  }
  set_bytes(state, length);
}

// The sender's conversion of its own host-order unit into another buffer.
void BM_ConvertEventHton(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  std::vector<char> src = event_unit(length);
  std::vector<char> dst(length);
  for (auto _ : state) {
    benchmark::DoNotOptimize(vrq5_convert_event_hton(src.data(), dst.data(), -1));
    benchmark::ClobberMemory();
  }
  set_bytes(state, length);
}

// The receiver's repair, in place, as ReceiveEvent runs it. Each pass turns
// the unit around, so successive passes alternate the two orders.
void BM_ConvertEventInPlace(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  std::vector<char> unit = event_unit(length);
  for (auto _ : state) {
    benchmark::DoNotOptimize(vrq5_convert_event_sized(unit.data(), unit.data(), kHeaderBytes, length));
    benchmark::ClobberMemory();
  }
  set_bytes(state, length);
}

// The same loop in place, the floor for the receiver's repair.
void BM_SwapLoopInPlace(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  std::vector<char> unit = event_unit(length);
  for (auto _ : state) {
    for (size_t i = 0; i + 4 <= length; i += 4) {
      uint32_t word;
      std::memcpy(&word, unit.data() + i, 4);
      word = __builtin_bswap32(word);
      std::memcpy(unit.data() + i, &word, 4);
    }
    benchmark::DoNotOptimize(unit.data());
    benchmark::ClobberMemory();
  }
  set_bytes(state, length);
}

// The converting sender: gather header and body into a fresh buffer of
// exactly the unit's length, then convert it in place.
void BM_SenderAssembleAndConvert(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  std::vector<char> unit = event_unit(length);
  for (auto _ : state) {
    std::unique_ptr<char[]> event_buf(new char[length]);
    std::memcpy(event_buf.get(), unit.data(), kHeaderBytes);
    std::memcpy(event_buf.get() + kHeaderBytes, unit.data() + kHeaderBytes, length - kHeaderBytes);
    benchmark::DoNotOptimize(vrq5_convert_event_hton(event_buf.get(), event_buf.get(), -1));
    benchmark::ClobberMemory();
  }
  set_bytes(state, length);
}

// A block into the ring and out again, beside two memcpy of the same bytes.
void BM_RingWriteRead(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  std::vector<char> block = event_unit(length);
  std::vector<char> out(length);
  RNG_RingBuffer ring(length * 4);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ring.Write(block.data(), static_cast<unsigned int>(length)));
    benchmark::DoNotOptimize(ring.Read(out.data(), static_cast<unsigned int>(length)));
  }
  set_bytes(state, length);
}

void BM_TwoMemcpy(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  std::vector<char> block = event_unit(length);
  std::vector<char> middle(length);
  std::vector<char> out(length);
  for (auto _ : state) {
    std::memcpy(middle.data(), block.data(), length);
    std::memcpy(out.data(), middle.data(), length);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  set_bytes(state, length);
}

void unit_sizes(benchmark::internal::Benchmark* bench) {
  for (int64_t length : {64, 1024, 4 << 10, 64 << 10, 1 << 20, 16 << 20}) bench->Arg(length);
}

BENCHMARK(BM_Memcpy)->Apply(unit_sizes);
BENCHMARK(BM_ConvertBody)->Apply(unit_sizes);
BENCHMARK(BM_ConvertBodyInPlace)->Apply(unit_sizes);
BENCHMARK(BM_CopySwapLoop)->Apply(unit_sizes);
BENCHMARK(BM_ConvertEventHton)->Apply(unit_sizes);
BENCHMARK(BM_SwapLoopInPlace)->Apply(unit_sizes);
BENCHMARK(BM_ConvertEventInPlace)->Apply(unit_sizes);
BENCHMARK(BM_SenderAssembleAndConvert)->Apply(unit_sizes);
BENCHMARK(BM_TwoMemcpy)->Apply(unit_sizes);
BENCHMARK(BM_RingWriteRead)->Apply(unit_sizes);

}  // namespace

BENCHMARK_MAIN();
