// RingBuffer.cpp - the byte ring behind RNG_RingBuffer.
//
// Writer and reader each own one monotonic byte counter: the writer advances
// `written`, the reader advances `read`, and each publishes its counter with
// a release store after moving the bytes, so the other side's acquire load
// sees the bytes before it sees the count. Positions in storage are the
// counters modulo the capacity, which makes every byte of the capacity usable
// (no slot is sacrificed to tell full from empty) and keeps wrap-around out
// of the callers' sight. The public control record is refreshed after each
// call for callers that look at it; nothing here reads its pointers back.
#include "RingBuffer.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <type_traits>

namespace {

struct Ring {
  RNG_BUFFER_STRUCT control;  // first member: an RNG_BUFFER_ID converts back to its Ring
  char* storage;
  unsigned long capacity;
  std::atomic<unsigned long> written;  // bytes ever written; changed by the writer thread only
  std::atomic<unsigned long> read;     // bytes ever read; changed by the reader thread only
};
static_assert(std::is_standard_layout<Ring>::value, "Ring must start with its control record");

Ring* ring_of(RNG_BUFFER_ID id) { return reinterpret_cast<Ring*>(id); }

// Bytes held as one side sees them. `read` is loaded first: it never passes
// `written`, so a later load of `written` cannot be the smaller one. A third
// thread may still see a stale `read`, hence the clamp.
unsigned long bytes_used(const Ring& ring) {
  const unsigned long r = ring.read.load(std::memory_order_acquire);
  const unsigned long w = ring.written.load(std::memory_order_acquire);
  return std::min(w - r, ring.capacity);
}

// Copies count bytes between the flat buffer and the ring starting at the
// ring position pos, in at most two pieces around the end of storage.
void copy_in(Ring& ring, unsigned long pos, const char* data, unsigned long count) {
  const unsigned long first = std::min(count, ring.capacity - pos);
  std::memcpy(ring.storage + pos, data, first);
  std::memcpy(ring.storage, data + first, count - first);
}

void copy_out(const Ring& ring, unsigned long pos, char* dst, unsigned long count) {
  const unsigned long first = std::min(count, ring.capacity - pos);
  std::memcpy(dst, ring.storage + pos, first);
  std::memcpy(dst + first, ring.storage, count - first);
}

}  // namespace

unsigned long RNG_Size(RNG_BUFFER_ID id) { return id == nullptr ? 0 : ring_of(id)->capacity; }

unsigned long RNG_BytesUsed(RNG_BUFFER_ID id) { return id == nullptr ? 0 : bytes_used(*ring_of(id)); }

RNG_RingBuffer::RNG_RingBuffer(unsigned long capacity) {
  std::unique_ptr<Ring> ring(new Ring);
  ring->storage = new char[capacity];
  ring->capacity = capacity;
  ring->written.store(0, std::memory_order_relaxed);
  ring->read.store(0, std::memory_order_relaxed);
  ring->control.bufStart = ring->storage;
  ring->control.bufEnd = ring->storage + capacity;
  ring->control.pWrite = ring->storage;
  ring->control.pRead = ring->storage;
  ring->control.pLastWrite = ring->storage;
  id_ = &ring.release()->control;
}

RNG_RingBuffer::~RNG_RingBuffer() {
  Ring* ring = ring_of(id_);
  delete[] ring->storage;
  delete ring;
}

int RNG_RingBuffer::Write(char* data, unsigned int length) {
  Ring& ring = *ring_of(id_);
  if (data == nullptr || length == 0) return 0;
  const unsigned long w = ring.written.load(std::memory_order_relaxed);
  const unsigned long r = ring.read.load(std::memory_order_acquire);  // the reader is done with bytes before r
  const unsigned long free_bytes = ring.capacity - (w - r);
  if (length > free_bytes) return 0;

  const unsigned long pos = w % ring.capacity;
  copy_in(ring, pos, data, length);
  const unsigned long end = pos + length;
  ring.control.pLastWrite = ring.storage + (end > ring.capacity ? end - ring.capacity : end);
  ring.control.pWrite = ring.storage + (w + length) % ring.capacity;
  ring.written.store(w + length, std::memory_order_release);
  // The whole block went in; the caller compares the result as unsigned.
  return static_cast<int>(length);
}

int RNG_RingBuffer::Read(char* dst, unsigned int length) {
  Ring& ring = *ring_of(id_);
  if (dst == nullptr || length == 0) return 0;
  const unsigned long r = ring.read.load(std::memory_order_relaxed);
  const unsigned long w = ring.written.load(std::memory_order_acquire);  // bytes before w are complete
  // Bounded by INT_MAX so that the count always comes back as a positive int.
  const unsigned long count =
      std::min({static_cast<unsigned long>(length), w - r, static_cast<unsigned long>(INT_MAX)});
  if (count == 0) return 0;

  copy_out(ring, r % ring.capacity, dst, count);
  ring.control.pRead = ring.storage + (r + count) % ring.capacity;
  ring.read.store(r + count, std::memory_order_release);
  return static_cast<int>(count);
}
