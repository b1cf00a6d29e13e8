// RingBuffer.h - a byte ring that a collector fills with received blocks and
// a recorder drains.
//
// The ring stores bytes, not records: blocks are self-describing (their
// headers carry their lengths), so the ring keeps no framing of its own and a
// block whose length equals the free space fits exactly. Write() is all or
// nothing; Read() takes bytes in the order they were written. Wrap-around is
// invisible to callers.
//
// Threads: one writer thread and one reader thread may use one ring at the
// same time (the collector writes while a recorder reads); size() and
// bytesUsed() may be called from either. More than one writer, or more than
// one reader, needs the caller's own lock. The free space a writer measures
// can only grow until its own next Write, so a block that fit at the check
// still fits at the Write.
#ifndef RINGBUFFER_H
#define RINGBUFFER_H

#include <cstddef>

#if defined(RINGBUFFER_BUILDING)
#define RINGBUFFER_API __attribute__((visibility("default")))
#else
#define RINGBUFFER_API
#endif

// Control record of a ring: its storage [bufStart, bufEnd), where the next
// write and read go, and where the last write ended. The ring refreshes these
// pointers for callers that look at them, but keeps its own counts elsewhere:
// read them only from a thread that is not writing or reading at the time.
struct RNG_BUFFER_STRUCT {
  char* bufEnd;
  char* bufStart;
  char* pWrite;
  char* pRead;
  char* pLastWrite;
};
typedef RNG_BUFFER_STRUCT* RNG_BUFFER_ID;

// Capacity in bytes of the ring behind id.
RINGBUFFER_API unsigned long RNG_Size(RNG_BUFFER_ID id);
// Bytes currently held; never more than RNG_Size().
RINGBUFFER_API unsigned long RNG_BytesUsed(RNG_BUFFER_ID id);

class RINGBUFFER_API RNG_RingBuffer {
 public:
  // A ring of capacity bytes; all of them are usable. A ring of 0 bytes
  // holds nothing and refuses every write.
  explicit RNG_RingBuffer(unsigned long capacity);
  ~RNG_RingBuffer();
  RNG_RingBuffer(const RNG_RingBuffer&) = delete;
  RNG_RingBuffer& operator=(const RNG_RingBuffer&) = delete;

  // Stores the whole block and returns length, or stores nothing and returns
  // 0 when the free space is smaller than length (or data is null). A block
  // whose length equals the free space fits. Compare the result as unsigned:
  // a block longer than INT_MAX comes back as a negative int.
  int Write(char* data, unsigned int length);
  // Moves up to length bytes (at most INT_MAX), oldest first, into dst;
  // returns how many, 0 when the ring is empty or dst is null.
  int Read(char* dst, unsigned int length);

  unsigned long size() { return RNG_Size(id_); }
  unsigned long bytesUsed() { return RNG_BytesUsed(id_); }

 private:
  RNG_BUFFER_ID id_;
};

#endif  // RINGBUFFER_H
