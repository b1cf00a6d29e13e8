// receive_event.cpp - the collector's side of the event stream: finding the
// next block by its pattern, reading its header, telling the producer whether
// the ring buffer has room, and reading the body behind the header into the
// object's block buffer.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "DataLink.h"
#include "byte_reversal.h"
#include "link_core.h"
#include "link_limits.h"
#include "messages.h"
#include "patterns.h"
#include "sys.h"

using namespace datalink;

namespace {

constexpr size_t kEventHeaderBytes = sizeof(vrq5_eventheader);
constexpr size_t kEvent2024HeaderBytes = sizeof(vrq5_eventheader_2024);
constexpr size_t kSlowHeaderBytes = sizeof(vrq5_daq_slow_data_header);
constexpr size_t kLargestHeaderBytes = kEvent2024HeaderBytes;

// What sets the three kinds of block apart.
struct BlockKind {
  size_t header_size;
  bool event;                  // counted, longer body limit, keeps the old block on early failures
  const char* header_message;  // at the empty-read limit of the header
};

const BlockKind kEvent36{kEventHeaderBytes, true,
                         "ReceiveEvent(): EVENT header too many empty messages, consider TCP connection broken"};
const BlockKind kEvent48{kEvent2024HeaderBytes, true,
                         "ReceiveEvent(): EVENT header too many empty messages, consider TCP connection broken"};
const BlockKind kSlowData{kSlowHeaderBytes, false,
                          "ReceiveEvent(): SLOW DATA header too many empty messages, consider TCP connection broken"};

uint32_t host_word(const unsigned char* bytes) {
  uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

const BlockKind& kind_of(const patterns::Pattern& row) {
  switch (row.kind) {
    case patterns::HeaderKind::Event2024:
      return kEvent48;
    case patterns::HeaderKind::Slow:
      return kSlowData;
    case patterns::HeaderKind::Event:
      break;
  }
  return kEvent36;
}

// The block length of a host-order header, header included. A 2024 length
// comes back as its unsigned 64-bit image, so a negative one is huge.
uint64_t block_length(const unsigned char* head, const BlockKind& kind) {
  if (&kind == &kEvent48) {
    int64_t length;
    std::memcpy(&length, head + offsetof(vrq5_eventheader_2024, event_length), sizeof length);
    return static_cast<uint64_t>(length);
  }
  uint32_t length;  // event_length and data_length share offset 4
  std::memcpy(&length, head + offsetof(vrq5_eventheader, event_length), sizeof length);
  return length;
}

// Whether a header that arrived with a byte-reversed pattern reads, turned
// around, as a real one: a producer of the other order that did not announce
// itself. Junk met while resynchronising seldom passes, and switching on junk
// would make this object refuse every correct unit from then on.
bool plausible_when_turned(const unsigned char* head, const BlockKind& kind) {
  alignas(8) unsigned char turned[kLargestHeaderBytes] = {};
  if (kind.event)
    vrq5::reversal::event_head_sized(head, turned, kind.header_size);
  else
    vrq5::reversal::words_sized(head, turned, kind.header_size);
  const uint64_t length = block_length(turned, kind);
  if (static_cast<int64_t>(length) < 0 || length > kMaxBlockBytes || length < kind.header_size) return false;
  if (&kind != &kEvent36) return true;
  int32_t type;
  std::memcpy(&type, turned + offsetof(vrq5_eventheader, event_type), sizeof type);
  return type >= 0 && type < VRQ5_EV_EVMAX;
}

}  // namespace

void LinkCore::ReleaseBlock(DataLink& link) {
  delete[] link.buffer;
  link.buffer = nullptr;
  link.size = 0;
}

// The window keeps arrival order. A read that brings no byte (the peer has
// closed) still takes its position, which keeps its old content. A window
// left over from a call that ended with 22 or 30 goes on where it stopped.
// The first missing byte is tried before the first wait: when it is already
// there, the wait would have returned at once and is not made.
int LinkCore::FillPatternWindow(DataLink& link, unsigned char* window, int& filled, int trs, int sec, int usec) {
  const int attempts = trs < 0 ? kFirstWaitAttemptsUnbounded : 1;
  for (int attempt = 1;; ++attempt) {
    sys::IoResult tried{};
    // A budget of 0 gives up at once, also when bytes are there.
    bool have_tried =
        attempt == 1 && trs != 0 && filled < kPatternBytes && TryReadLink(link, window + filled, 1, tried);
    if (!have_tried) {
      int ready = link.IfReady(RECEIVER_READ, trs, sec, usec);
      if (ready == DL_ERR_TIMEOUT) {
        if (attempt >= attempts) return DL_ERR_TIMEOUT;
        continue;
      }
      if (ready != DL_OK) return DL_ERR_READ;
    }
    bool would_block = false;
    while (filled < kPatternBytes && !would_block) {
      const sys::IoResult got = have_tried ? tried : ReadLink(link, window + filled, 1);
      have_tried = false;
      if (!got.failed()) {
        ++filled;
        continue;
      }
      if (got.err != EAGAIN) {
        sys_error("ReceiveEvent() magic: read failed");
        out_print("Errno: %d\n", got.err);
        return DL_ERR_READ;
      }
      would_block = true;
    }
    if (!would_block) return DL_OK;
    // The rest of the pattern is still on its way: wait for it to become
    // readable, at the cost of one attempt.
    int again = link.IfReady(RECEIVER_READ, trs, sec, usec);
    if (again != DL_OK && again != DL_ERR_TIMEOUT) return DL_ERR_READ;
    if (attempt >= attempts) return DL_ERR_TIMEOUT;
  }
}

// At most kScanLimitBytes + 1 bytes are shifted in, and a pattern completed by
// the last of them is not taken. Bytes read ahead are searched where they lie;
// only when none are held is one byte read, and a byte is shifted in only once
// it has been read, so a failed read leaves four real bytes in the window.
int LinkCore::ScanPatternWindow(DataLink& link, unsigned char* window, bool skip_current, long& shifts) {
  const bool swap = link.get_swap();
  auto stops = [&] {
    const uint32_t word = host_word(window);
    return patterns::ends_scan(swap ? patterns::reverse_word(word) : word);
  };
  auto shift_in = [&](unsigned char next) {
    std::memmove(window, window + 1, kPatternBytes - 1);
    window[kPatternBytes - 1] = next;
  };
  while ((skip_current || !stops()) && shifts <= kScanLimitBytes) {
    skip_current = false;
    const size_t held = Buffered(link);
    if (held > 0) {
      const unsigned char* bytes = link.state->input.get() + link.state->input_begin;
      size_t used = 0;
      do {
        shift_in(bytes[used++]);
        ++shifts;
      } while (used < held && !stops() && shifts <= kScanLimitBytes);
      TakeBuffered(link, used);
      continue;
    }
    unsigned char next = window[kPatternBytes - 1];
    const sys::IoResult got = ReadLink(link, &next, 1);
    if (got.failed()) return got.err == EAGAIN ? DL_ERR_SCAN_WOULD_BLOCK : DL_ERR_READ;
    shift_in(next);
    ++shifts;
  }
  return shifts > kScanLimitBytes ? DL_ERR_TIMEOUT : DL_OK;
}

// Each read asks for exactly the bytes still missing; what else one receive
// brings stays read ahead for the next step. Each read is tried first and
// waits only when nothing is there. EAGAIN after the wait counts as an
// empty read: the socket may be non-blocking.
int LinkCore::ReadMissing(DataLink& link, char* dst, size_t count, int empty_read_limit, const char* limit_message) {
  size_t done = 0;
  int empty_reads = 0;
  while (done < count && empty_reads < empty_read_limit) {
    const size_t ask = count - done < kMaxReadBytes ? count - done : kMaxReadBytes;
    sys::IoResult got{};
    if (ReadWhenReady(link, dst + done, ask, got) != DL_OK) return DL_ERR_READ;
    if (got.n > 0) {
      done += static_cast<size_t>(got.n);
      empty_reads = 0;
      continue;
    }
    if (got.failed() && got.err != EAGAIN) return DL_ERR_READ;
    ++empty_reads;
  }
  if (done == count) return DL_OK;
  sys_error(limit_message);
  return DL_ERR_READ;
}

// The acknowledgement is one int32 in this host's order, never converted.
int LinkCore::SendAck(DataLink& link, int ack, const char* fail_message) {
  int32_t word = ack;
  const char* bytes = reinterpret_cast<const char*>(&word);
  int sent = 0;
  while (sent < kAckBytes) {
    const struct iovec rest = {const_cast<char*>(bytes) + sent, static_cast<size_t>(kAckBytes - sent)};
    sys::IoResult written{};
    if (!TryWriteLink(link, &rest, 1, written)) written = sys::write_some(link.sockin, rest.iov_base, rest.iov_len);
    if (written.failed()) {
      if (fail_message != nullptr) sys_error(fail_message);
      return DL_ERR_WRITE;
    }
    sent += static_cast<int>(written.n);
  }
  return DL_OK;
}

int DataLink::ReceiveEvent(RNG_RingBuffer* rb, int trs, int sec, int usec) {
  if (int refused = receive_guard(connected, receive_lock, "ReceiveEvent(): Not connected.  No action taken.",
                                  "ReceiveEvent(): Receive lock set.  Waiting for space in Ring Buffer."))
    return refused;

  // Pattern bytes that an earlier call read but could not complete are taken
  // back; they are kept again only if this call also ends waiting for more.
  // A fresh window is four zero bytes.
  unsigned char window[kPatternBytes] = {0, 0, 0, 0};
  int filled = state->pending_pattern_bytes;
  std::memcpy(window, state->pending_pattern, static_cast<size_t>(filled));
  std::memset(state->pending_pattern, 0, sizeof state->pending_pattern);
  state->pending_pattern_bytes = 0;
  int status = LinkCore::FillPatternWindow(*this, window, filled, trs, sec, usec);
  bool stray_window = false;
  long shifts = 0;  // one bound for the whole call, across windows that proved stray
  alignas(8) unsigned char head[kLargestHeaderBytes];
  const BlockKind* found = nullptr;
  uint32_t arrived_word = 0;
  while (found == nullptr) {
    if (status == DL_OK) status = LinkCore::ScanPatternWindow(*this, window, stray_window, shifts);
    if (status != DL_OK) {
      if (status == DL_ERR_TIMEOUT || status == DL_ERR_SCAN_WOULD_BLOCK) {
        std::memcpy(state->pending_pattern, window, static_cast<size_t>(filled));
        state->pending_pattern_bytes = filled;
      }
      return status;
    }

    // The kind follows the pattern as this end reads it; the header keeps the
    // bytes as they arrived.
    arrived_word = host_word(window);
    const uint32_t pattern = get_swap() ? patterns::reverse_word(arrived_word) : arrived_word;
    const patterns::Pattern& row = *patterns::find(pattern).row;  // the scan stopped at a pattern
    // A reversed pattern that would switch the byte order sets the data
    // format only once its header has proved plausible: junk sets nothing.
    const bool would_switch = patterns::reversed_scan_pattern(arrived_word) && must_swap == 0 && !no_swap;
    if (!would_switch) patterns::apply_generation(row.generation);
    const BlockKind& kind = kind_of(row);
    std::memset(head, 0, sizeof head);
    std::memcpy(head, window, kPatternBytes);
    status = LinkCore::ReadMissing(*this, reinterpret_cast<char*>(head) + kPatternBytes,
                                   kind.header_size - kPatternBytes, kEmptyReadLimitHeader, kind.header_message);
    if (status != DL_OK) {
      if (!kind.event) LinkCore::ReleaseBlock(*this);
      return status;
    }
    if (would_switch) {
      if (!plausible_when_turned(head, kind)) {
        // Stray bytes that happen to look like a reversed pattern: the bytes
        // behind the window go back to the stream and the scan moves on by
        // one byte.
        LinkCore::PushBackStream(*this, head + kPatternBytes, kind.header_size - kPatternBytes);
        stray_window = true;
        continue;
      }
      patterns::apply_generation(row.generation);
      must_swap = 1;
      sys_error("ReceiveEvent(): Automatically switching swap !!!");
    }
    found = &kind;
  }
  const BlockKind& kind = *found;
  const size_t header_size = kind.header_size;

  alignas(8) unsigned char arrived[kLargestHeaderBytes];
  std::memcpy(arrived, head, header_size);
  if (get_swap()) {
    int converted = kind.event ? vrq5::reversal::event_head_sized(head, head, header_size)
                               : vrq5_convert_slow_data_head(head, head);
    if (converted != 0) {
      if (!kind.event) LinkCore::ReleaseBlock(*this);
      out_print("BAD_SWAP middle\n");
      return DL_ERR_CONVERT;
    }
  }
  const uint64_t length = block_length(head, kind);

  // A negative 2024 length, one beyond the 32-bit counts every producer
  // sends, or a block shorter than its own header, is refused. With a ring,
  // the block buffer is allocated before the answer, so that a 0 promises a
  // unit this end can keep; every refusal is answered 1, after which the
  // producer sends no body and the stream stays in step. The space check and
  // the later ring write are separate: nothing is reserved in between.
  int refusal = DL_OK;
  std::unique_ptr<char[]> fresh;
  const bool reuse = buffer != nullptr && size == length;
  if (rb != nullptr && static_cast<uint64_t>(rb->size()) - static_cast<uint64_t>(rb->bytesUsed()) < length)
    refusal = DL_ERR_BUFFER_SIZE;
  else if (static_cast<int64_t>(length) < 0 || length > kMaxBlockBytes || length < header_size)
    refusal = DL_ERR_VALUE;
  else if (!reuse) {
    // Without an answer to give, the old block need not outlive the new one.
    if (rb == nullptr) LinkCore::ReleaseBlock(*this);
    fresh.reset(new (std::nothrow) char[static_cast<size_t>(length)]);
    if (!fresh) refusal = DL_ERR_ALLOC;
  }
  if (rb != nullptr) {
    status =
        LinkCore::SendAck(*this, refusal == DL_OK ? 0 : 1, kind.event ? "ReceiveEvent(): Failed to send ack" : nullptr);
    if (status != DL_OK) return status;
  }
  if (refusal == DL_ERR_BUFFER_SIZE) {
    if (!kind.event) LinkCore::ReleaseBlock(*this);
    return refusal;
  }
  // Without a ring every event header read is counted; with one, only those
  // answered 0.
  if (kind.event && owncntr && (rb == nullptr || refusal == DL_OK))
    eventn = static_cast<int>(static_cast<unsigned int>(eventn) + 1u);  // wraps, no UB
  if (refusal != DL_OK) {
    LinkCore::ReleaseBlock(*this);
    return refusal;
  }
  // A block of the same length as the last one takes over its buffer: a
  // stream of equal units then costs no allocation, and no fresh pages for
  // the kernel to fault in and zero, per unit. The buffer still holds
  // exactly size bytes.
  if (!reuse) {
    LinkCore::ReleaseBlock(*this);
    buffer = fresh.release();
    size = static_cast<size_t>(length);
  }
  std::memcpy(buffer, arrived, header_size);

  const size_t body = size - header_size;
  if (body > 0) {
    status = LinkCore::ReadMissing(
        *this, buffer + header_size, body, kind.event ? kEmptyReadLimitEventBody : kEmptyReadLimitBody,
        "ReceiveEvent() 2: read pattern too many empty messages, consider TCP connection broken, EVENT");
    if (status != DL_OK) {
      LinkCore::ReleaseBlock(*this);
      return status;
    }
  }
  status = SwapBuffer();
  if (status != DL_OK) {
    LinkCore::ReleaseBlock(*this);
    out_print("BAD SWAP %d->%s\n", status, vrq5_get_convert_error(state->last_swap_code));
  }
  return status;
}
