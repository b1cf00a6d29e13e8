// test_ringbuffer.cpp - the byte ring: exact fit, full and empty, refused
// writes, wrap-around at every offset, and one writer thread against one
// reader thread with every byte checked.
#include "RingBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using Bytes = std::vector<char>;

Bytes pattern_bytes(size_t n, int seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<char>(seed + i * 13);
  return b;
}

int write_all(RNG_RingBuffer& ring, Bytes b) { return ring.Write(b.data(), static_cast<unsigned>(b.size())); }

Bytes read_some(RNG_RingBuffer& ring, unsigned length) {
  Bytes b(length);
  const int n = ring.Read(b.data(), length);
  b.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return b;
}

TEST(RingBuffer, ExactFitFullAndEmpty) {
  RNG_RingBuffer ring(16);
  EXPECT_EQ(ring.size(), 16u);
  EXPECT_EQ(ring.bytesUsed(), 0u);
  EXPECT_TRUE(read_some(ring, 8).empty()) << "an empty ring gives nothing";

  const Bytes first = pattern_bytes(10, 1);
  const Bytes second = pattern_bytes(6, 50);
  EXPECT_EQ(write_all(ring, first), 10);
  // The free space is exactly 6 bytes: a 6-byte block fits, as the
  // collector's acknowledgement promised.
  EXPECT_EQ(ring.size() - ring.bytesUsed(), 6u);
  EXPECT_EQ(write_all(ring, second), 6);
  EXPECT_EQ(ring.bytesUsed(), 16u);
  EXPECT_EQ(write_all(ring, pattern_bytes(1, 0)), 0) << "a full ring takes nothing";

  Bytes all = first;
  all.insert(all.end(), second.begin(), second.end());
  EXPECT_EQ(read_some(ring, 100), all) << "a read takes what is held, no more";
  EXPECT_EQ(ring.bytesUsed(), 0u);
  EXPECT_EQ(write_all(ring, pattern_bytes(16, 3)), 16) << "the whole capacity is usable from any position";
  EXPECT_EQ(read_some(ring, 16), pattern_bytes(16, 3));
}

TEST(RingBuffer, RefusedWriteChangesNothing) {
  RNG_RingBuffer ring(16);
  const Bytes held = pattern_bytes(10, 7);
  ASSERT_EQ(write_all(ring, held), 10);
  ASSERT_EQ(read_some(ring, 3), Bytes(held.begin(), held.begin() + 3));

  EXPECT_EQ(write_all(ring, pattern_bytes(10, 90)), 0) << "9 bytes free";
  EXPECT_EQ(ring.Write(nullptr, 4), 0);
  EXPECT_EQ(ring.Read(nullptr, 4), 0);
  EXPECT_EQ(ring.bytesUsed(), 7u);
  EXPECT_EQ(read_some(ring, 7), Bytes(held.begin() + 3, held.end())) << "no byte of the refused block went in";

  RNG_RingBuffer empty(0);
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(write_all(empty, pattern_bytes(1, 0)), 0);
  EXPECT_TRUE(read_some(empty, 1).empty());
  EXPECT_EQ(RNG_Size(nullptr), 0u);
  EXPECT_EQ(RNG_BytesUsed(nullptr), 0u);
}

TEST(RingBuffer, WrapAroundIsInvisibleAtEveryOffset) {
  constexpr unsigned kCapacity = 7;
  for (unsigned offset = 0; offset < kCapacity; ++offset) {
    for (unsigned length = 1; length <= kCapacity; ++length) {
      SCOPED_TRACE(testing::Message() << "offset " << offset << " length " << length);
      RNG_RingBuffer ring(kCapacity);
      // Move both positions to offset.
      ASSERT_EQ(write_all(ring, pattern_bytes(offset, 0)), static_cast<int>(offset));
      ASSERT_EQ(read_some(ring, offset).size(), offset);

      const Bytes block = pattern_bytes(length, static_cast<int>(offset * 31 + length));
      ASSERT_EQ(write_all(ring, block), static_cast<int>(length));
      EXPECT_EQ(ring.bytesUsed(), length);
      // Read back in two pieces, so a piece may straddle the end of storage.
      Bytes got = read_some(ring, length / 2);
      const Bytes rest = read_some(ring, length);
      got.insert(got.end(), rest.begin(), rest.end());
      EXPECT_EQ(got, block);
      EXPECT_EQ(ring.bytesUsed(), 0u);
    }
  }
}

// One writer thread and one reader thread, a small ring so that both wrap and
// both meet a full and an empty ring many times; the reader checks every byte
// against the sequence the writer produced, and both sides check the counts.
// The shared state lives on the heap so that threads left behind by a stall
// never touch a destroyed ring.
TEST(RingBuffer, OneWriterOneReaderConcurrently) {
  constexpr unsigned long kCapacity = 97;
  constexpr size_t kTotal = 4u << 20;
  constexpr unsigned kMaxBlock = 61;
  struct Shared {
    RNG_RingBuffer ring{kCapacity};
    std::atomic<bool> writer_ok{true};
    std::atomic<bool> reader_ok{true};
    std::atomic<bool> stop{false};  // either side failed, or the test gave up
  };
  auto shared = std::make_shared<Shared>();
  auto byte_at = [](size_t i) { return static_cast<char>((i * 2654435761u) >> 13); };

  auto writer = [shared, byte_at] {
    RNG_RingBuffer& ring = shared->ring;
    Bytes block(kMaxBlock);
    size_t sent = 0;
    for (unsigned step = 0; sent < kTotal && !shared->stop.load(); ++step) {
      const unsigned length = static_cast<unsigned>(std::min<size_t>(1 + step % kMaxBlock, kTotal - sent));
      for (unsigned i = 0; i < length; ++i) block[i] = byte_at(sent + i);
      const unsigned long free_bytes = ring.size() - ring.bytesUsed();
      const int n = ring.Write(block.data(), length);
      if (n == static_cast<int>(length)) {
        sent += length;
      } else if (n != 0 || free_bytes >= length) {
        // Only this thread fills the ring, so room it has seen is still there.
        shared->writer_ok = false;
        shared->stop = true;
      } else {
        std::this_thread::yield();
      }
    }
  };
  auto reader = [shared, byte_at] {
    RNG_RingBuffer& ring = shared->ring;
    Bytes got(kMaxBlock);
    size_t received = 0;
    for (unsigned step = 0; received < kTotal && !shared->stop.load(); ++step) {
      bool ok = ring.bytesUsed() <= ring.size();
      const int n = ring.Read(got.data(), 1 + step % kMaxBlock);
      ok = ok && n >= 0;
      for (int i = 0; ok && i < n; ++i) ok = got[i] == byte_at(received + i);
      if (!ok) {
        shared->reader_ok = false;
        shared->stop = true;
      }
      received += static_cast<size_t>(n);
      if (n == 0) std::this_thread::yield();
    }
  };

  const bool finished = testsupport::finishes_within(50000, [writer, reader] {
    std::thread w(writer);
    std::thread r(reader);
    w.join();
    r.join();
  });
  shared->stop = true;
  ASSERT_TRUE(finished) << "writer or reader stalled";
  EXPECT_TRUE(shared->writer_ok.load());
  EXPECT_TRUE(shared->reader_ok.load());
  EXPECT_EQ(shared->ring.bytesUsed(), 0u);
}

}  // namespace
