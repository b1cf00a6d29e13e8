// test_receive_event.cpp - the collector's side of the event stream against a
// raw peer that writes crafted units byte by byte: pattern search, headers,
// acknowledgements, bodies, byte-order repair, accessors and the ring write.
#include "DataLink.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "test_support.h"

using namespace testsupport;

#if defined(__SANITIZE_ADDRESS__)
// A hostile length must come back as a failed allocation, not end the run.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}
#endif

namespace {

constexpr int kFirstWaitSeconds = 2;  // bound of the first wait in every call below

enum class Kind { kEvent36, kEvent48, kSlow };

size_t header_size(Kind kind) { return kind == Kind::kEvent36 ? 36 : kind == Kind::kEvent48 ? 48 : 12; }

uint32_t forward_pattern(Kind kind) {
  return kind == Kind::kEvent36   ? VRQ5_PATTERN_EVENT_2010
         : kind == Kind::kEvent48 ? VRQ5_PATTERN_EVENT_2024
                                  : VRQ5_PATTERN_SLOW;
}

// A unit in this host's order: header with the given pattern and length
// (header included), then body bytes that count up from seed.
Bytes make_unit(Kind kind, uint32_t pattern, size_t body, uint32_t number = 7, uint64_t length = 0, uint8_t seed = 1) {
  const size_t head = header_size(kind);
  if (length == 0) length = head + body;
  Bytes unit(head + body);
  if (kind == Kind::kEvent36) {
    vrq5_eventheader h{};
    h.pattern = pattern;
    h.event_length = static_cast<uint32_t>(length);
    h.event_number = number;
    h.event_type = VRQ5_EV_BOR;
    h.num_svr_block = 3;
    std::memcpy(unit.data(), &h, sizeof h);
  } else if (kind == Kind::kEvent48) {
    vrq5_eventheader_2024 h{};
    h.pattern = pattern;
    h.event_type = VRQ5_EV_GMD;
    h.event_length = static_cast<int64_t>(length);
    h.event_number = (uint64_t{5} << 32) | number;
    h.num_svr_block = 4;
    std::memcpy(unit.data(), &h, sizeof h);
  } else {
    vrq5_daq_slow_data_header h{};
    h.pattern = pattern;
    h.data_length = static_cast<uint32_t>(length);
    h.channels_number = static_cast<uint32_t>(body / 4);
    std::memcpy(unit.data(), &h, sizeof h);
  }
  for (size_t i = 0; i < body; ++i) unit[head + i] = static_cast<uint8_t>(seed + i);
  return unit;
}

// The unit as a producer of the other byte order writes it: 32-bit words
// reversed, the two 64-bit fields of the 2024 header reversed whole.
Bytes other_order(const Bytes& unit, Kind kind) {
  Bytes out = unit;
  auto reverse = [&](size_t at, size_t width) { std::reverse(out.begin() + at, out.begin() + at + width); };
  size_t at = 0;
  while (at + 4 <= out.size()) {
    if (kind == Kind::kEvent48 && (at == 8 || at == 16)) {
      reverse(at, 8);
      at += 8;
    } else {
      reverse(at, 4);
      at += 4;
    }
  }
  return out;
}

Bytes block_of(DataLink& link) {
  // The block is reachable through whichever header accessor matches.
  const char* start = nullptr;
  if (auto* h = link.get_event_header()) start = reinterpret_cast<const char*>(h);
  if (auto* h = link.get_event_header_2024()) start = reinterpret_cast<const char*>(h);
  if (auto* h = link.get_slow_data_header()) start = reinterpret_cast<const char*>(h);
  if (start == nullptr) return {};
  uint64_t length = 0;
  if (auto* h = link.get_event_header()) length = h->event_length;
  if (auto* h = link.get_event_header_2024()) length = static_cast<uint64_t>(h->event_length);
  if (auto* h = link.get_slow_data_header()) length = h->data_length;
  return Bytes(start, start + length);
}

bool has_block(DataLink& link) {
  RNG_RingBuffer ring(1 << 20);
  return link.WriteBlockToRingBuffer(ring) != DL_ERR_NO_BUFFER;
}

int receive(DataLink& link, RNG_RingBuffer* rb = nullptr) { return link.ReceiveEvent(rb, 1, kFirstWaitSeconds, 0); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A collector loop: retries while the call only waited for more bytes.
int receive_retrying(DataLink& link, int deadline_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  int status;
  do {
    status = link.ReceiveEvent(nullptr, 1, 0, 20000);
  } while ((status == DL_ERR_TIMEOUT || status == DL_ERR_SCAN_WOULD_BLOCK) &&
           std::chrono::steady_clock::now() < deadline);
  return status;
}

class ReceiveEventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pair_ = listener_with_raw_peer(NATIVE_MODE);
    ASSERT_NE(pair_, nullptr);
    link().set_own_cnt(false);
  }
  DataLink& link() { return *pair_->link; }
  int peer() { return pair_->peer; }
  // Drops the current peer and accepts a new one on the same listener.
  void reconnect() {
    close_fd(pair_->peer);
    // The connect completes from the backlog, so accept does not block.
    pair_->peer = raw_connect(pair_->port, false);
    ASSERT_GE(pair_->peer, 0);
    Capture quiet(2);
    ASSERT_EQ(link().Connect(false), DL_OK);
    read_exact(pair_->peer, 4);
  }
  std::unique_ptr<ListenerAndRawPeer> pair_;
};

TEST_F(ReceiveEventTest, FindsPatternsAtStartAndBehindStrayBytesWithoutTakingTheNextUnit) {
  const Bytes first = make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT_2010, 64, 11);
  const Bytes second = make_unit(Kind::kEvent48, VRQ5_PATTERN_EVENT_2024, 5, 12);
  const Bytes third = make_unit(Kind::kSlow, VRQ5_PATTERN_SLOW_2024, 16);
  const Bytes fourth = make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT, 0, 13);
  ASSERT_TRUE(write_all(peer(), concat({first, {0x01, 0x02, 0x03}, second, {0xEE}, third, fourth})));

  ASSERT_EQ(receive(link()), DL_OK);
  EXPECT_EQ(block_of(link()), first);
  EXPECT_FALSE(is_data_format_2024());
  EXPECT_TRUE(is_data_format_2010());

  ASSERT_EQ(receive(link()), DL_OK);
  EXPECT_EQ(block_of(link()), second);
  EXPECT_TRUE(is_data_format_2024());

  ASSERT_EQ(receive(link()), DL_OK);
  EXPECT_EQ(block_of(link()), third);
  EXPECT_TRUE(is_data_format_2024());

  // A block whose length is its header alone has no body to read.
  ASSERT_EQ(receive(link()), DL_OK);
  EXPECT_EQ(block_of(link()), fourth);
  EXPECT_FALSE(is_data_format_2024());
  EXPECT_FALSE(is_data_format_2010());

  // Nothing more on the stream: a bounded first wait ends the call.
  EXPECT_EQ(link().ReceiveEvent(nullptr, 1, 0, 1000), DL_ERR_TIMEOUT);
}

// A blocking link, so that the scan waits for the producer instead of
// ending with 30 while the stray bytes are still on their way.
TEST(ReceiveEventScan, GivesUpBeyondItsBoundButKeepsTheWindow) {
  auto pair = listener_with_raw_peer(NATIVE_MODE, false, false);
  ASSERT_NE(pair, nullptr);
  DataLink& link = *pair->link;
  link.set_own_cnt(false);
  const Bytes unit = make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT_2010, 8, 21);
  std::thread writer([&] {
    write_all(pair->peer, concat({Bytes(200000, 0x11), unit}));
    write_all(pair->peer, concat({Bytes(200001, 0x11), unit}));
    shutdown(pair->peer, SHUT_WR);  // a lost window ends in 22, not in a hang
  });
  EXPECT_EQ(receive(link), DL_OK);
  EXPECT_EQ(block_of(link), unit);
  // The pattern completes on the 200001st byte shifted in, which is one too
  // many; the call reads no further, and the next call takes the unit.
  EXPECT_EQ(receive(link), DL_ERR_TIMEOUT);
  EXPECT_EQ(receive(link), DL_OK);
  EXPECT_EQ(block_of(link), unit);
  writer.join();
}

TEST_F(ReceiveEventTest, ClosedPeerScansToTheBoundAndIsReported) {
  EXPECT_FALSE(link().peer_closed());
  close_fd(pair_->peer);
  int status = -1;
  ASSERT_TRUE(finishes_within(20000, [&] { status = receive(link()); }));
  EXPECT_EQ(status, DL_ERR_TIMEOUT);
  EXPECT_TRUE(link().peer_closed());
  reconnect();
  EXPECT_FALSE(link().peer_closed());
}

TEST_F(ReceiveEventTest, PeerClosingMidUnitFailsWithTheKindsMessage) {
  const Bytes kept = make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT, 4);
  const Bytes event = make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT_2010, 40);
  const Bytes slow = make_unit(Kind::kSlow, VRQ5_PATTERN_SLOW, 40);

  struct Case {
    Bytes cut;
    const char* message;
    bool keeps_previous;
  };
  const Case cases[] = {
      {Bytes(event.begin(), event.begin() + 20),
       "ReceiveEvent(): EVENT header too many empty messages, consider TCP connection broken: ", true},
      {Bytes(slow.begin(), slow.begin() + 8),
       "ReceiveEvent(): SLOW DATA header too many empty messages, consider TCP connection broken: ", false},
      {Bytes(event.begin(), event.begin() + 50),
       "ReceiveEvent() 2: read pattern too many empty messages, consider TCP connection broken, EVENT: ", false},
      {Bytes(slow.begin(), slow.begin() + 30),
       "ReceiveEvent() 2: read pattern too many empty messages, consider TCP connection broken, EVENT: ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ASSERT_TRUE(write_all(peer(), kept));
    ASSERT_EQ(receive(link()), DL_OK);
    ASSERT_TRUE(write_all(peer(), c.cut));
    close_fd(pair_->peer);
    Capture err(2);
    EXPECT_EQ(receive(link()), DL_ERR_READ);
    EXPECT_EQ(err.text().rfind(c.message, 0), 0u) << err.text();
    EXPECT_EQ(has_block(link()), c.keeps_previous);
    EXPECT_TRUE(link().peer_closed());
    reconnect();
  }
}

TEST_F(ReceiveEventTest, AcknowledgesRoomPerKind) {
  for (Kind kind : {Kind::kEvent36, Kind::kEvent48, Kind::kSlow}) {
    SCOPED_TRACE(header_size(kind));
    const Bytes previous = make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT, 4);
    const Bytes unit = make_unit(kind, forward_pattern(kind), 100);
    const Bytes head(unit.begin(), unit.begin() + static_cast<long>(header_size(kind)));
    const Bytes body(unit.begin() + static_cast<long>(header_size(kind)), unit.end());

    // Without a ring buffer nothing is acknowledged and the whole unit is read.
    ASSERT_TRUE(write_all(peer(), unit));
    ASSERT_EQ(receive(link()), DL_OK);
    EXPECT_EQ(block_of(link()), unit);
    EXPECT_TRUE(read_available(peer(), 50).empty());

    // Free space exactly the unit's length: 0, then the body is read.
    RNG_RingBuffer exact(unit.size());
    Bytes ack;
    std::thread producer([&] {
      write_all(peer(), head);
      ack = read_exact(peer(), 4);
      if (ack == Bytes{0, 0, 0, 0}) write_all(peer(), body);
    });
    EXPECT_EQ(receive(link(), &exact), DL_OK);
    producer.join();
    EXPECT_EQ(ack, (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(block_of(link()), unit);

    // One byte short: 1 in host order and 25, and no body is awaited.
    ASSERT_TRUE(write_all(peer(), previous));
    ASSERT_EQ(receive(link()), DL_OK);
    RNG_RingBuffer short_by_one(unit.size() - 1);
    ASSERT_TRUE(write_all(peer(), head));
    EXPECT_EQ(receive(link(), &short_by_one), DL_ERR_BUFFER_SIZE);
    EXPECT_EQ(read_exact(peer(), 4), (Bytes{1, 0, 0, 0}));
    // Events keep the previous block, slow data gives it up.
    EXPECT_EQ(has_block(link()), kind != Kind::kSlow);
  }
}

TEST_F(ReceiveEventTest, OwnCounterCountsAcceptedEventsOnly) {
  link().set_own_cnt(true);
  const int before = link().get_event_number();
  ASSERT_TRUE(write_all(peer(), concat({make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT_2010, 4),
                                        make_unit(Kind::kSlow, VRQ5_PATTERN_SLOW, 4),
                                        make_unit(Kind::kEvent48, VRQ5_PATTERN_EVENT_2024, 4),
                                        make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT, 4)})));
  for (int i = 0; i < 4; ++i) ASSERT_EQ(receive(link()), DL_OK);
  EXPECT_EQ(link().get_event_number(), before + 3);

  // A refused event is not counted.
  RNG_RingBuffer tiny(8);
  ASSERT_TRUE(write_all(peer(), make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT, 4)));
  EXPECT_EQ(receive(link(), &tiny), DL_ERR_BUFFER_SIZE);
  EXPECT_EQ(link().get_event_number(), before + 3);
}

// A producer of the other byte order that skipped the handshake: the first
// reversed pattern switches conversion on, with its message, and every block
// arrives in host order. The switch outlives the connection.
TEST(ReceiveEventSwap, ReversedPatternsSwitchConversionOnOnce) {
  struct Case {
    Kind kind;
    uint32_t pattern;
    bool is_2024;
  };
  for (const Case c :
       {Case{Kind::kEvent36, VRQ5_PATTERN_EVENT_2010, false}, Case{Kind::kEvent48, VRQ5_PATTERN_EVENT_2024, true},
        Case{Kind::kSlow, VRQ5_PATTERN_SLOW, false}, Case{Kind::kSlow, VRQ5_PATTERN_SLOW_2024, true}}) {
    SCOPED_TRACE(c.pattern);
    auto pair = listener_with_raw_peer(NATIVE_MODE);
    ASSERT_NE(pair, nullptr);
    DataLink& collector = *pair->link;
    const Bytes unit = make_unit(c.kind, c.pattern, 22, 9);
    const Bytes later = make_unit(c.kind, c.pattern, 40, 10, 0, 50);
    ASSERT_TRUE(write_all(pair->peer, concat({other_order(unit, c.kind), other_order(later, c.kind)})));
    {
      Capture err(2);
      ASSERT_EQ(receive(collector), DL_OK);
      EXPECT_EQ(err.text().rfind("ReceiveEvent(): Automatically switching swap !!!: ", 0), 0u);
    }
    EXPECT_TRUE(collector.get_swap());
    EXPECT_EQ(is_data_format_2024(), c.is_2024);
    EXPECT_EQ(block_of(collector), unit);
    {
      Capture err(2);
      ASSERT_EQ(receive(collector), DL_OK);
      EXPECT_EQ(err.text(), "");
    }
    EXPECT_EQ(block_of(collector), later);

    // A listener keeps the decision for its next peer.
    close_fd(pair->peer);
    pair->peer = raw_connect(pair->port, false);
    {
      Capture quiet(2);
      ASSERT_EQ(collector.Connect(false), DL_OK);
    }
    EXPECT_TRUE(collector.get_swap());
  }
}

TEST_F(ReceiveEventTest, SwapMaskLeavesReversedBlocksAlone) {
  link().set_swap_mask(true);
  // The length is read as it arrived, so it is one that reads the same in
  // both orders: 0x00010100.
  const size_t length = 0x00010100;
  const Bytes unit = other_order(make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT_2010, length - 36), Kind::kEvent36);
  std::thread producer([&] { write_all(peer(), unit); });
  Capture err(2);
  ASSERT_EQ(receive(link()), DL_OK);
  producer.join();
  EXPECT_EQ(err.text(), "");
  EXPECT_FALSE(link().get_swap());
  EXPECT_EQ(link().get_event_header(), nullptr);
  RNG_RingBuffer ring(unit.size());
  ASSERT_EQ(link().WriteBlockToRingBuffer(ring), DL_OK);
  Bytes stored(unit.size());
  ASSERT_EQ(ring.Read(reinterpret_cast<char*>(stored.data()), static_cast<unsigned>(stored.size())),
            static_cast<int>(unit.size()));
  EXPECT_EQ(stored, unit);
}

TEST_F(ReceiveEventTest, AccessorsReadTheLayoutInForceWithinTheBlock) {
  // No block at all.
  EXPECT_EQ(link().get_event_number(), -1);
  EXPECT_EQ(link().get_event_type(), VRQ5_EV_EVMAX);
  EXPECT_EQ(link().get_event_length(), 0u);
  EXPECT_EQ(link().get_event_header(), nullptr);
  EXPECT_EQ(link().get_event_header_2024(), nullptr);
  EXPECT_EQ(link().get_slow_data_header(), nullptr);
  RNG_RingBuffer ring(4096);
  EXPECT_EQ(link().WriteBlockToRingBuffer(ring), DL_ERR_NO_BUFFER);

  ASSERT_TRUE(write_all(peer(), make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT_2010, 4, 31)));
  ASSERT_EQ(receive(link()), DL_OK);
  EXPECT_EQ(link().get_event_number(), 31);
  EXPECT_EQ(link().get_event_type(), VRQ5_EV_BOR);
  EXPECT_EQ(link().get_event_length(), 40u);
  EXPECT_NE(link().get_event_header(), nullptr);
  EXPECT_EQ(link().get_event_header_2024(), nullptr);
  EXPECT_EQ(link().get_slow_data_header(), nullptr);

  ASSERT_TRUE(write_all(peer(), make_unit(Kind::kEvent48, VRQ5_PATTERN_EVENT_2024, 2, 32)));
  ASSERT_EQ(receive(link()), DL_OK);
  EXPECT_EQ(link().get_event_number(), 32);  // the low half of the 64-bit number
  EXPECT_EQ(link().get_event_type(), VRQ5_EV_GMD);
  EXPECT_EQ(link().get_event_length(), 50u);
  EXPECT_EQ(link().get_event_header(), nullptr);
  EXPECT_NE(link().get_event_header_2024(), nullptr);

  // Slow data under the older layout: the length sits where an event's does,
  // the type would lie beyond the 12 bytes.
  ASSERT_TRUE(write_all(peer(), make_unit(Kind::kSlow, VRQ5_PATTERN_SLOW, 0)));
  ASSERT_EQ(receive(link()), DL_OK);
  EXPECT_EQ(link().get_event_length(), 12u);
  EXPECT_EQ(link().get_event_type(), VRQ5_EV_EVMAX);
  EXPECT_NE(link().get_slow_data_header(), nullptr);
  EXPECT_EQ(link().get_event_header(), nullptr);

  // Slow data under the 2024 layout: length and number lie beyond the block.
  ASSERT_TRUE(write_all(peer(), make_unit(Kind::kSlow, VRQ5_PATTERN_SLOW_2024, 0)));
  ASSERT_EQ(receive(link()), DL_OK);
  EXPECT_EQ(link().get_event_length(), 0u);
  EXPECT_EQ(link().get_event_number(), -1);
  EXPECT_NE(link().get_slow_data_header(), nullptr);
}

TEST_F(ReceiveEventTest, WritesTheBlockIntoTheRingBuffer) {
  const Bytes unit = make_unit(Kind::kEvent48, VRQ5_PATTERN_EVENT_2024, 200);
  ASSERT_TRUE(write_all(peer(), unit));
  ASSERT_EQ(receive(link()), DL_OK);

  RNG_RingBuffer small(unit.size() - 1);
  EXPECT_EQ(link().WriteBlockToRingBuffer(small), DL_ERR_RING_WRITE);
  EXPECT_EQ(small.bytesUsed(), 0u);

  RNG_RingBuffer ring(2 * unit.size());
  EXPECT_EQ(link().WriteBlockToRingBuffer(ring), DL_OK);
  EXPECT_EQ(link().WriteBlockToRingBuffer(ring), DL_OK);  // the block stays for a second copy
  Bytes stored(2 * unit.size());
  ASSERT_EQ(ring.Read(reinterpret_cast<char*>(stored.data()), static_cast<unsigned>(stored.size())),
            static_cast<int>(stored.size()));
  EXPECT_EQ(stored, concat({unit, unit}));
}

// A unit's first bytes arriving apart from the rest on the non-blocking
// socket: the bytes read so far survive the 22 or 30 that ends the call.
TEST_F(ReceiveEventTest, SplitPatternSurvivesRetries) {
  const Bytes unit = make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT_2010, 16, 41);
  for (size_t stray : {0u, 3u}) {
    SCOPED_TRACE(stray);
    const Bytes stream = concat({Bytes(stray, 0x5A), unit});
    const size_t split = stray + 2;
    std::thread producer([&] {
      write_all(peer(), stream.data(), split);
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      write_all(peer(), stream.data() + split, stream.size() - split);
    });
    EXPECT_EQ(receive_retrying(link(), 5000), DL_OK);
    producer.join();
    EXPECT_EQ(block_of(link()), unit);
  }

  // A partial pattern from an old peer is forgotten when a new one connects.
  const Bytes pattern_bytes = host_order_bytes(VRQ5_PATTERN_EVENT_2010);
  ASSERT_TRUE(write_all(peer(), pattern_bytes.data(), 3));
  EXPECT_EQ(link().ReceiveEvent(nullptr, 1, 0, 20000), DL_ERR_TIMEOUT);
  reconnect();
  ASSERT_TRUE(write_all(peer(), concat({{pattern_bytes[3]}, unit})));
  EXPECT_EQ(receive(link()), DL_OK);
  EXPECT_EQ(block_of(link()), unit);
}

TEST_F(ReceiveEventTest, ImpossibleLengthsAreRefusedAndTheStreamResynchronises) {
  const Bytes good = make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT, 8);
  struct Case {
    Bytes head;
    int status;
  };
  const Case cases[] = {
      // Shorter than the header, for each kind.
      {make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT_2010, 0, 1, 20), DL_ERR_VALUE},
      {make_unit(Kind::kEvent48, VRQ5_PATTERN_EVENT_2024, 0, 1, 47), DL_ERR_VALUE},
      {make_unit(Kind::kSlow, VRQ5_PATTERN_SLOW, 0, 1, 4), DL_ERR_VALUE},
      // Negative, and beyond the 32-bit lengths every producer sends.
      {make_unit(Kind::kEvent48, VRQ5_PATTERN_EVENT_2024, 0, 1, uint64_t{1} << 63), DL_ERR_VALUE},
      {make_unit(Kind::kEvent48, VRQ5_PATTERN_EVENT_2024, 0, 1, uint64_t{1} << 62), DL_ERR_VALUE},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(write_all(peer(), concat({good, c.head, good})));
    ASSERT_EQ(receive(link()), DL_OK);
    EXPECT_EQ(receive(link()), c.status);
    EXPECT_FALSE(has_block(link()));
    EXPECT_EQ(receive(link()), DL_OK);
    EXPECT_EQ(block_of(link()), good);
  }

  // With a ring buffer the acknowledgement comes first and refuses the
  // hostile length.
  RNG_RingBuffer ring(1 << 20);
  ASSERT_TRUE(write_all(peer(), make_unit(Kind::kEvent48, VRQ5_PATTERN_EVENT_2024, 0, 1, uint64_t{1} << 62)));
  EXPECT_EQ(receive(link(), &ring), DL_ERR_BUFFER_SIZE);
  EXPECT_EQ(read_exact(peer(), 4), (Bytes{1, 0, 0, 0}));
  // Too short for its header, yet it fits: answered 1, so the producer sends
  // no body and the next unit follows in step.
  ASSERT_TRUE(write_all(peer(), make_unit(Kind::kSlow, VRQ5_PATTERN_SLOW_2024, 0, 1, 8)));
  EXPECT_EQ(receive(link(), &ring), DL_ERR_VALUE);
  EXPECT_EQ(read_exact(peer(), 4), (Bytes{1, 0, 0, 0}));
  ASSERT_TRUE(write_all(peer(), good));
  EXPECT_EQ(receive(link(), &ring), DL_OK);
  EXPECT_EQ(read_exact(peer(), 4), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(block_of(link()), good);
}

// No producer counts a unit in more than 32 bits, so a longer 2024 length is
// refused before anything is allocated, rather than read in truncated.
// Stray bytes that look like a byte-reversed pattern, met while
// resynchronising, do not switch conversion on: their header does not read as
// a real one when turned around. The scan goes on behind the stray pattern, so
// a unit that starts inside the bytes read as its header is still found.
TEST_F(ReceiveEventTest, StrayReversedPatternsDoNotSwitchTheByteOrder) {
  RNG_RingBuffer ring(1 << 20);
  const Bytes good = make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT_2010, 8);
  const Bytes strays[] = {
      {0xFF, 0xEE, 0xFF, 0xFF, 0, 0, 0, 8, 0, 0, 0, 0},  // slow data, length 8 below its header
      {0xFF, 0xEE, 0xFF, 0xDD},                          // 36-byte event; the good unit is its "header"
      {0xFF, 0xCC, 0xFF, 0xCC},                          // 48-byte event; the whole good unit is its "header"
  };
  for (const Bytes& stray : strays) {
    ASSERT_TRUE(write_all(peer(), concat({stray, good})));
    Capture err(2);
    EXPECT_EQ(receive(link(), &ring), DL_OK);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(read_exact(peer(), 4), (Bytes{0, 0, 0, 0}));
    EXPECT_FALSE(link().get_swap());
    EXPECT_EQ(block_of(link()), good);
  }
  // Nor does junk change the data format: only a unit does.
  set_data_format_2024(true);
  Bytes junk{0xFF, 0xEE, 0xFF, 0xDD};
  junk.resize(36, 0xFF);
  ASSERT_TRUE(write_all(peer(), junk));
  shutdown(peer(), SHUT_WR);
  Quiet quiet;
  EXPECT_NE(receive(link(), &ring), DL_OK);
  EXPECT_TRUE(is_data_format_2024());
}

// With a ring, the block buffer is allocated before the answer: a block this
// end cannot keep is answered 1, so the producer does not count it as sent.
TEST_F(ReceiveEventTest, BlockThatCannotBeAllocatedIsAnsweredNoRoom) {
  constexpr uint64_t kLength = uint64_t{256} << 20;
  RNG_RingBuffer ring(kLength);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Room for a little more than the process has now, not for the block.
    long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) _exit(100);
    std::fclose(statm);
    const rlim_t now = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
    const rlimit limit{now + (rlim_t{32} << 20), RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(101);
    _exit(receive(link(), &ring));
  }
  ASSERT_TRUE(write_all(peer(), make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT_2010, 0, 1, kLength)));
  EXPECT_EQ(read_exact(peer(), 4), (Bytes{1, 0, 0, 0}));
  int wstatus = 0;
  ASSERT_EQ(waitpid(child, &wstatus, 0), child);
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), DL_ERR_ALLOC);
}

TEST_F(ReceiveEventTest, BodyBeyondFourGiBIsRefused) {
  const uint64_t length = (uint64_t{1} << 32) + 48 + 8;
  ASSERT_TRUE(write_all(peer(), make_unit(Kind::kEvent48, VRQ5_PATTERN_EVENT_2024, 8, 1, length)));
  close_fd(pair_->peer);
  Capture err(2);
  EXPECT_EQ(receive(link()), DL_ERR_VALUE);
  EXPECT_FALSE(has_block(link()));
}

TEST(ReceiveEventGuards, RefusesWithoutConnection) {
  DataLink link(0);
  Capture err(2);
  EXPECT_EQ(link.ReceiveEvent(nullptr, 0, 0, 0), DL_ERR_NOT_CONNECTED);
  EXPECT_EQ(err.text(), "ReceiveEvent(): Not connected.  No action taken.\n");
}

}  // namespace

// One segment carries the end of one unit and the start of the next: every
// call takes exactly its own unit, with or without acknowledgement, and
// bytes already read ahead make IfReady answer at once.
TEST_F(ReceiveEventTest, ReadAheadTakesExactlyOneUnitPerCall) {
  const Bytes units[] = {make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT_2010, 40, 1, 0, 1),
                         make_unit(Kind::kSlow, VRQ5_PATTERN_SLOW, 20, 2, 0, 9),
                         make_unit(Kind::kEvent48, VRQ5_PATTERN_EVENT_2024, 100, 3, 0, 5)};
  const size_t heads[] = {36, 12, 48};
  // Without acknowledgement: all of it in two writes, the first unit split.
  ASSERT_TRUE(write_all(peer(), units[0].data(), 10));
  ASSERT_TRUE(write_all(peer(), concat({Bytes(units[0].begin() + 10, units[0].end()), units[1], units[2]})));
  for (const Bytes& unit : units) {
    ASSERT_EQ(receive(link()), DL_OK);
    EXPECT_EQ(block_of(link()), unit);
    if (&unit != &units[2]) {
      EXPECT_EQ(link().IfReady(RECEIVER_READ, 1, 0, 0), DL_OK) << "bytes are read ahead";
      EXPECT_EQ(link().IfReady(RECEIVER_READ, 0, 0, 0), DL_ERR_NOT_READABLE) << "a budget of 0 gives up at once";
    }
  }
  EXPECT_EQ(link().IfReady(RECEIVER_READ, 1, 0, 1000), DL_ERR_TIMEOUT);

  // Acknowledged: each body travels with the next unit's header.
  std::thread producer([&] {
    Bytes segment(units[0].begin(), units[0].begin() + 36);
    for (size_t i = 0; i < 3; ++i) {
      if (!write_all(peer(), segment) || read_exact(peer(), 4) != Bytes(4, 0)) return;
      segment.assign(units[i].begin() + static_cast<long>(heads[i]), units[i].end());
      if (i < 2) append(segment, Bytes(units[i + 1].begin(), units[i + 1].begin() + static_cast<long>(heads[i + 1])));
    }
    write_all(peer(), segment);
  });
  RNG_RingBuffer ring(1 << 16);
  for (const Bytes& unit : units) {
    ASSERT_EQ(receive(link(), &ring), DL_OK);
    EXPECT_EQ(block_of(link()), unit);
  }
  producer.join();
}

// An image behind an event in the same segment, then a unit that arrives one
// byte per segment.
TEST_F(ReceiveEventTest, ImageBehindAnEventAndAUnitByteByByte) {
  const Bytes event = make_unit(Kind::kEvent36, VRQ5_PATTERN_EVENT_2010, 8, 4);
  const Bytes image = intro_unit<vrq5_image_ext_intro>(VRQ5_PATTERN_EVENT_2010, 32, false);
  ASSERT_TRUE(write_all(peer(), concat({event, image})));
  ASSERT_EQ(receive(link()), DL_OK);
  EXPECT_EQ(block_of(link()), event);
  vrq5_image_ext_intro intro;
  char* data = nullptr;
  ASSERT_EQ(link().ReceiveImage(&intro, &data, 32), DL_OK);
  EXPECT_EQ(Bytes(data, data + 32), Bytes(image.end() - 32, image.end()));
  delete[] data;

  const Bytes unit = make_unit(Kind::kEvent48, VRQ5_PATTERN_EVENT_2024, 20, 6);
  std::thread producer([&] {
    for (uint8_t byte : unit) {
      write_all(peer(), &byte, 1);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  EXPECT_EQ(receive_retrying(link(), 5000), DL_OK);
  producer.join();
  EXPECT_EQ(block_of(link()), unit);
}
