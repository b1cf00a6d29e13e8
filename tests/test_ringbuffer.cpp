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

Bytes seq(size_t n, int seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<char>(seed + i * 13);
  return b;
}

int put(RNG_RingBuffer& ring, Bytes b) { return ring.Write(b.data(), static_cast<unsigned>(b.size())); }

Bytes take(RNG_RingBuffer& ring, unsigned length) {
  Bytes b(length);
  b.resize(static_cast<size_t>(std::max(0, ring.Read(b.data(), length))));
  return b;
}

TEST(RingBuffer, ExactFitFullEmptyAndRefusal) {
  RNG_RingBuffer ring(16);
  EXPECT_TRUE(take(ring, 8).empty());
  const Bytes held = seq(10, 1);
  ASSERT_EQ(put(ring, held), 10);
  ASSERT_EQ(take(ring, 3), Bytes(held.begin(), held.begin() + 3));

  // 9 bytes free: a 10-byte block is refused whole and changes nothing.
  EXPECT_EQ(put(ring, seq(10, 90)), 0);
  EXPECT_EQ(ring.Write(nullptr, 4), 0);
  EXPECT_EQ(ring.bytesUsed(), 7u);
  // A block as long as the free space fits exactly, and fills the ring.
  EXPECT_EQ(ring.size() - ring.bytesUsed(), 9u);
  ASSERT_EQ(put(ring, seq(9, 50)), 9);
  EXPECT_EQ(ring.bytesUsed(), ring.size());
  EXPECT_EQ(put(ring, seq(1, 0)), 0);

  Bytes all(held.begin() + 3, held.end());
  const Bytes second = seq(9, 50);
  all.insert(all.end(), second.begin(), second.end());
  EXPECT_EQ(take(ring, 100), all) << "a read takes what is held, oldest first";
  EXPECT_EQ(ring.bytesUsed(), 0u);

  RNG_RingBuffer none(0);
  EXPECT_EQ(put(none, seq(1, 0)), 0);
  EXPECT_TRUE(take(none, 1).empty());
}

TEST(RingBuffer, WrapAroundIsInvisibleAtEveryOffset) {
  constexpr unsigned kCapacity = 7;
  for (unsigned offset = 0; offset < kCapacity; ++offset) {
    for (unsigned length = 1; length <= kCapacity; ++length) {
      SCOPED_TRACE(testing::Message() << "offset " << offset << " length " << length);
      RNG_RingBuffer ring(kCapacity);
      ASSERT_EQ(put(ring, seq(offset, 0)), static_cast<int>(offset));
      ASSERT_EQ(take(ring, offset).size(), offset);
      const Bytes block = seq(length, static_cast<int>(offset * 31 + length));
      ASSERT_EQ(put(ring, block), static_cast<int>(length));
      // Two reads, so that either may straddle the end of storage.
      Bytes got = take(ring, length / 2);
      const Bytes rest = take(ring, length);
      got.insert(got.end(), rest.begin(), rest.end());
      EXPECT_EQ(got, block);
    }
  }
}

// A small ring, so that both threads wrap and meet a full and an empty ring
// many times. The state lives on the heap: threads left behind by a stall
// must never touch a destroyed ring.
TEST(RingBuffer, OneWriterOneReaderConcurrently) {
  constexpr size_t kTotal = 4u << 20;
  constexpr unsigned kMaxBlock = 61;
  struct Shared {
    RNG_RingBuffer ring{97};
    std::atomic<bool> ok{true};
    std::atomic<bool> stop{false};
  };
  auto s = std::make_shared<Shared>();
  auto byte_at = [](size_t i) { return static_cast<char>((i * 2654435761u) >> 13); };
  auto fail = [s] {
    s->ok = false;
    s->stop = true;
  };
  auto writer = [s, byte_at, fail] {
    Bytes block(kMaxBlock);
    for (size_t sent = 0, step = 0; sent < kTotal && !s->stop; ++step) {
      const unsigned length = static_cast<unsigned>(std::min<size_t>(1 + step % kMaxBlock, kTotal - sent));
      for (unsigned i = 0; i < length; ++i) block[i] = byte_at(sent + i);
      const unsigned long free_bytes = s->ring.size() - s->ring.bytesUsed();
      const int n = s->ring.Write(block.data(), length);
      if (n == static_cast<int>(length)) {
        sent += length;
      } else if (n != 0 || free_bytes >= length) {
        fail();  // only this thread fills the ring, so room it has seen is still there
      } else {
        std::this_thread::yield();
      }
    }
  };
  auto reader = [s, byte_at, fail] {
    Bytes got(kMaxBlock);
    for (size_t received = 0, step = 0; received < kTotal && !s->stop; ++step) {
      if (s->ring.bytesUsed() > s->ring.size()) fail();
      const int n = s->ring.Read(got.data(), static_cast<unsigned>(1 + step % kMaxBlock));
      for (int i = 0; i < n; ++i) {
        if (got[i] != byte_at(received + i)) fail();
      }
      received += static_cast<size_t>(std::max(n, 0));
      if (n <= 0) std::this_thread::yield();
    }
  };
  const bool finished = testsupport::finishes_within(50000, [writer, reader] {
    std::thread w(writer);
    std::thread r(reader);
    w.join();
    r.join();
  });
  s->stop = true;
  ASSERT_TRUE(finished) << "writer or reader stalled";
  EXPECT_TRUE(s->ok.load());
  EXPECT_EQ(s->ring.bytesUsed(), 0u);
}

}  // namespace
