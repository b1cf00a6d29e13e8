// fuzz_receive.cpp - arbitrary byte streams from a peer, through a real
// connected socket, into the receivers. Byte 0 picks the receiver (events,
// images, spectra), the ring buffer or caller's buffer, and the byte order
// (native, a big-endian listener that converts, either with the swap mask
// set, or a mask that flips between calls); the rest is what the peer sends
// before it shuts down its writing side.
//
// After each input the same link object takes a fresh connection and must
// receive one valid unit intact: no input may leave the object unable to
// work.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "DataLink.h"
#include "socket_family.h"
#include "test_support.h"

using testsupport::Bytes;

namespace {

constexpr size_t kMaxStreamBytes = 65536;  // fits the socket buffer, so one write suffices
constexpr int kPortBase = 30000;
constexpr int kPortSpread = 30000;
constexpr unsigned long kRingSizes[] = {0, 256, 65536};  // 0: no ring buffer / a buffer allocated by the call
constexpr int kReceivers = 3;
constexpr int kRingChoices = 3;
constexpr int kOrders = 5;
constexpr size_t kLiveBodyBytes = 64;

enum Receiver { kEvents, kImages, kSpectra };
enum Order { kNative, kBigEnd, kBigEndMasked, kNativeMasked, kBigEndFlipping };

void check(bool ok) {
  if (!ok) __builtin_trap();
}

int port() {
  static const int chosen = kPortBase + static_cast<int>(getpid() % kPortSpread);
  return chosen;
}

// A raw peer connected to the listener's path; the listener accepts it from
// the backlog afterwards, so nothing blocks.
struct Peer {
  int fd = testsupport::raw_connect(port(), true);
  ~Peer() { testsupport::close_fd(fd); }
  bool write_all(const uint8_t* p, size_t n) { return testsupport::write_all(fd, p, n); }
  bool read_preamble() { return testsupport::read_exact(fd, 4).size() == 4; }
};

struct Mode {
  Receiver receiver;
  unsigned long ring_bytes;
  Order order;
};

Mode mode_of(uint8_t selector) {
  return {static_cast<Receiver>(selector % kReceivers), kRingSizes[(selector / kReceivers) % kRingChoices],
          static_cast<Order>((selector / (kReceivers * kRingChoices)) % kOrders)};
}

// Reads every accessor and every field of the header it hands out, so that a
// header pointer into a block too short for it shows as an overrun.
void touch_block(DataLink& link) {
  volatile long sink = static_cast<long>(link.get_event_number()) + static_cast<long>(link.get_event_type()) +
                       static_cast<long>(link.get_event_length());
  if (vrq5_eventheader* h = link.get_event_header()) sink = sink + h->num_svr_block;
  if (vrq5_eventheader_2024* h = link.get_event_header_2024()) sink = sink + h->fill;
  if (vrq5_daq_slow_data_header* h = link.get_slow_data_header()) sink = sink + h->channels_number;
  (void)sink;
}

void drain(RNG_RingBuffer* ring) {
  if (ring == nullptr) return;
  char scratch[4096];
  while (ring->Read(scratch, sizeof scratch) > 0) {
  }
  check(ring->bytesUsed() == 0);
}

// Calls the receiver until the peer's end of stream has been seen; every
// call either consumes bytes or meets that end, so the bound is never hit
// by a working receiver.
void receive_all(DataLink& link, const Mode& mode, RNG_RingBuffer* ring, size_t stream_bytes) {
  const size_t max_calls = stream_bytes + 8;
  for (size_t call = 0; call < max_calls && !link.peer_closed(); ++call) {
    if (mode.order == kBigEndFlipping) link.set_swap_mask(call % 2 == 1);
    if (mode.receiver == kEvents) {
      const int rc = link.ReceiveEvent(ring, 1, 1, 0);
      if (rc == DL_OK) {
        touch_block(link);
        if (ring != nullptr) {
          const unsigned long before = ring->bytesUsed();
          const int wr = link.WriteBlockToRingBuffer(*ring);
          check(wr == DL_OK || wr == DL_ERR_RING_WRITE);
          check(ring->bytesUsed() == before || wr == DL_OK);
          drain(ring);
        }
      }
      continue;
    }
    const int sz = static_cast<int>(mode.ring_bytes);
    std::unique_ptr<char[]> own(sz > 0 ? new char[static_cast<size_t>(sz)] : nullptr);
    char* buf = own.get();
    const int max = sz > 0 ? sz : static_cast<int>(kMaxStreamBytes);
    int rc;
    if (mode.receiver == kImages) {
      vrq5_image_ext_intro intro;
      rc = link.ReceiveImage(&intro, &buf, max);
      if (rc == DL_OK) check(intro.intro.length >= sizeof intro && intro.intro.length - sizeof intro <= size_t(max));
    } else {
      vrq5_spect_intro intro;
      rc = link.ReceiveSpect(&intro, &buf, max);
      if (rc == DL_OK) check(intro.intro.length >= sizeof intro && intro.intro.length - sizeof intro <= size_t(max));
    }
    if (sz == 0) delete[] buf;  // a buffer the call allocated is the caller's, also after a failure
  }
  check(link.peer_closed());
}

// One valid unit on a fresh connection of the same object, in the order the
// object now expects, must come out exactly as the producer meant it.
void check_alive(DataLink& link, const Mode& mode, RNG_RingBuffer* ring) {
  Peer peer;
  check(peer.fd >= 0);
  check(link.Connect(false) == DL_OK);
  check(peer.read_preamble());
  drain(ring);
  const bool other = link.get_swap();
  Bytes wire, expect;
  if (mode.receiver == kEvents) {
    wire = testsupport::event36(VRQ5_PATTERN_EVENT_2010, 7, kLiveBodyBytes, other);
    expect = testsupport::event36(VRQ5_PATTERN_EVENT_2010, 7, kLiveBodyBytes, false);
  } else if (mode.receiver == kImages) {
    wire = testsupport::intro_unit<vrq5_image_ext_intro>(VRQ5_PATTERN_EVENT, kLiveBodyBytes, other);
    expect = testsupport::intro_unit<vrq5_image_ext_intro>(VRQ5_PATTERN_EVENT, kLiveBodyBytes, false);
  } else {
    wire = testsupport::intro_unit<vrq5_spect_intro>(VRQ5_PATTERN_EVENT_2024, kLiveBodyBytes, other);
    expect = testsupport::intro_unit<vrq5_spect_intro>(VRQ5_PATTERN_EVENT_2024, kLiveBodyBytes, false);
  }
  check(peer.write_all(wire.data(), wire.size()));
  shutdown(peer.fd, SHUT_WR);

  if (mode.receiver == kEvents) {
    check(link.ReceiveEvent(ring, 1, 1, 0) == DL_OK);
    vrq5_eventheader* h = link.get_event_header();
    check(h != nullptr && h->event_length == expect.size());
    check(std::memcmp(h, expect.data(), expect.size()) == 0);
    if (ring != nullptr) {
      int32_t ack = -1;
      check(recv(peer.fd, &ack, sizeof ack, 0) == sizeof ack && ack == 0);
      check(link.WriteBlockToRingBuffer(*ring) == DL_OK && ring->bytesUsed() == expect.size());
      drain(ring);
    }
    return;
  }
  char* buf = nullptr;
  const size_t intro_bytes = mode.receiver == kImages ? sizeof(vrq5_image_ext_intro) : sizeof(vrq5_spect_intro);
  int rc;
  Bytes got_intro(intro_bytes);
  if (mode.receiver == kImages) {
    rc = link.ReceiveImage(reinterpret_cast<vrq5_image_ext_intro*>(got_intro.data()), &buf, kLiveBodyBytes);
  } else {
    rc = link.ReceiveSpect(reinterpret_cast<vrq5_spect_intro*>(got_intro.data()), &buf, kLiveBodyBytes);
  }
  std::unique_ptr<char[]> owned(buf);
  check(rc == DL_OK);
  // The pattern is consumed by the search and reads 0.
  std::memset(expect.data(), 0, 4);
  check(std::memcmp(got_intro.data(), expect.data(), intro_bytes) == 0);
  check(std::memcmp(buf, expect.data() + intro_bytes, kLiveBodyBytes) == 0);
}

}  // namespace

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Without a ring buffer a block of any announced length up to 4 GiB is
// allocated (without throwing). Under the sanitizer each such block costs a
// poisoned shadow of an eighth of its size, which would slow fuzzing to a
// crawl; an allocator that refuses blocks above 64 MiB instead exercises the
// receiver's allocation failure path. Large allocations of the harness itself
// still throw and are still reported.
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=64:allocator_may_return_null=1"; }
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const bool env = setenv(datalink::kSockTypeVariable, datalink::kSockTypeUnix, 1) == 0;
  check(env);
  const Mode mode = mode_of(data[0]);
  const size_t stream_bytes = size - 1 < kMaxStreamBytes ? size - 1 : kMaxStreamBytes;

  unlink(testsupport::unix_path(port()).c_str());
  const bool bigend = mode.order == kBigEnd || mode.order == kBigEndMasked || mode.order == kBigEndFlipping;
  DataLink link(bigend ? BIGEND_MODE : NATIVE_MODE);
  if (mode.order == kBigEndMasked || mode.order == kNativeMasked) link.set_swap_mask(true);
  check(link.SocketSetup(port()) == DL_OK);
  std::unique_ptr<RNG_RingBuffer> ring;
  if (mode.receiver == kEvents && mode.ring_bytes > 0) ring = std::make_unique<RNG_RingBuffer>(mode.ring_bytes);
  {
    Peer peer;
    check(peer.fd >= 0);
    check(link.Connect(true) == DL_OK);
    check(peer.read_preamble());
    check(peer.write_all(data + 1, stream_bytes));
    shutdown(peer.fd, SHUT_WR);
    receive_all(link, mode, ring.get(), stream_bytes);
  }
  check_alive(link, mode, ring.get());
  check(link.SocketRelease() == DL_OK);
  return 0;
}
