// test_send_event.cpp - SendEvent against a raw peer that reads the exact
// bytes on the wire and answers acknowledgements by hand.
#include "DataLink.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

using namespace testsupport;

namespace {

constexpr int kQuietMs = 200;  // how long a peer watches for bytes that must not come

Bytes bytes_of(const void* data, size_t count) {
  const uint8_t* first = static_cast<const uint8_t*>(data);
  return Bytes(first, first + count);
}

Bytes concat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

// Network order as the converting path must produce it: every 32-bit word
// reversed; in a 48-byte header the two 64-bit fields reversed whole.
Bytes header_2024_reversed(const Bytes& native) {
  Bytes out = words_reversed(native);
  for (size_t at : {8, 16}) std::reverse_copy(native.begin() + at, native.begin() + at + 8, out.begin() + at);
  return out;
}

vrq5_eventheader event36(uint32_t pattern, uint32_t length) {
  vrq5_eventheader hd{};
  hd.pattern = pattern;
  hd.event_length = length;
  hd.event_number = 4711;
  hd.event_type = VRQ5_EV_NORMAL;
  hd.event_time = {1700000000u, 123456u};
  hd.tmask = 0x0102;
  hd.status = -2;
  hd.num_svr_block = 2;
  return hd;
}

vrq5_eventheader_2024 event48(uint32_t pattern, int64_t length) {
  vrq5_eventheader_2024 hd{};
  hd.pattern = pattern;
  hd.event_type = VRQ5_EV_BOR;
  hd.event_length = length;
  hd.event_number = 0x0102030405060708ull;
  hd.event_time = {11u, 22u};
  hd.tmask = 5;
  hd.num_svr_block = 1;
  return hd;
}

// One unit as a caller hands it over: the header record, then body elements
// filled with consecutive 32-bit numbers so that any lost, doubled or
// misplaced word shows.
struct Unit {
  Bytes header;
  std::vector<Bytes> bodies;
  std::vector<struct iovec> iov;

  template <class Record>
  Unit(const Record& record, const std::vector<size_t>& body_sizes) : header(bytes_of(&record, sizeof record)) {
    uint32_t word = 1;
    for (size_t size : body_sizes) {
      Bytes body(size);
      for (size_t at = 0; at < size; at += 4, ++word)
        std::memcpy(body.data() + at, &word, std::min<size_t>(4, size - at));
      bodies.push_back(std::move(body));
    }
  }
  // The list is built afresh for every call: the sender may advance its
  // elements, and a copied Unit must point at its own bytes.
  int send(DataLink& link, int mode = SendEvent_NOACK) {
    iov.clear();
    iov.push_back({header.data(), header.size()});
    for (Bytes& body : bodies) iov.push_back({body.data(), body.size()});
    return link.SendEvent(iov.data(), static_cast<int>(iov.size()), mode);
  }
  Bytes body_wire() const {
    Bytes out;
    for (const Bytes& body : bodies) out.insert(out.end(), body.begin(), body.end());
    return out;
  }
  Bytes wire() const { return concat(header, body_wire()); }
};

std::vector<size_t> sizes(size_t count, size_t each) { return std::vector<size_t>(count, each); }

bool stays_quiet(int fd) { return read_available(fd, kQuietMs).empty(); }

bool answer(int fd, int32_t ack) { return write_all(fd, &ack, sizeof ack); }

enum class Generation { k2010, k2024, kOlder };

// Sets the switch to something other than what the next header should select.
void preset_switch_away_from(Generation expected) {
  if (expected == Generation::k2024)
    set_data_format_2010(true);
  else
    set_data_format_2024(true);
}

void expect_switch(Generation expected, const std::string& label) {
  EXPECT_EQ(is_data_format_2024(), expected == Generation::k2024) << label;
  EXPECT_EQ(is_data_format_2010(), expected == Generation::k2010) << label;
}

}  // namespace

TEST(SendEventGuards, RefusedBeforeAnyByteIsRead) {
  vrq5_eventheader hd = event36(VRQ5_PATTERN_EVENT, 36);
  struct iovec one {
    &hd, sizeof hd
  };
  {
    DataLink idle(0);
    Capture err(2);
    EXPECT_EQ(idle.SendEvent(&one, 1, SendEvent_NOACK), DL_ERR_NOT_CONNECTED);
    EXPECT_EQ(err.text(), "SendEvent(): Unable to send event.  Not Connected.\n");
  }
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  DataLink& link = *pair->link;
  char odd[20] = {};
  struct iovec twenty {
    odd, sizeof odd
  };
  Capture out(1);
  EXPECT_EQ(link.SendEvent(&one, 0, SendEvent_NOACK), DL_ERR_VALUE);
  EXPECT_EQ(link.SendEvent(&one, -1, SendEvent_ACK), DL_ERR_VALUE);
  EXPECT_EQ(link.SendEvent(nullptr, 1, SendEvent_NOACK), DL_ERR_VALUE);
  EXPECT_EQ(link.SendEvent(&twenty, 1, SendEvent_NOACK), DL_ERR_PROTOCOL);
  EXPECT_EQ(out.text(), "hdsz: 20 (36) (36)\nSendEvent() unknown event header format\n");
  EXPECT_TRUE(stays_quiet(pair->peer));
  EXPECT_EQ(link.IsLinkActive(), 1);
}

TEST(SendEventHeaders, EachKindSetsItsSwitchAndGoesOutWhole) {
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  vrq5_daq_slow_data_header slow{VRQ5_PATTERN_SLOW, 12, 0};
  vrq5_daq_slow_data_header slow_2024{VRQ5_PATTERN_SLOW_2024, 12, 0};
  vrq5_daq_slow_data_header slow_2024_swapped{VRQ5_PATTERN_SLOW_2024_SWAPPED, 12, 0};
  struct Case {
    std::string label;
    Unit unit;
    Generation expected;
  };
  std::vector<Case> cases;
  cases.push_back({"36 2010", Unit(event36(VRQ5_PATTERN_EVENT_2010, 36), {}), Generation::k2010});
  cases.push_back({"36 2010 swapped", Unit(event36(VRQ5_PATTERN_EVENT_2010_SWAPPED, 36), {}), Generation::k2010});
  cases.push_back({"36 2024 swapped", Unit(event36(VRQ5_PATTERN_EVENT_2024_SWAPPED, 36), {}), Generation::k2024});
  cases.push_back({"36 older", Unit(event36(VRQ5_PATTERN_EVENT, 36), {}), Generation::kOlder});
  cases.push_back({"36 unknown pattern", Unit(event36(0x12345678u, 36), {}), Generation::kOlder});
  cases.push_back({"48 2024", Unit(event48(VRQ5_PATTERN_EVENT_2024, 48), {}), Generation::k2024});
  cases.push_back({"48 other", Unit(event48(VRQ5_PATTERN_EVENT, 48), {}), Generation::kOlder});
  cases.push_back({"12 older", Unit(slow, {}), Generation::kOlder});
  cases.push_back({"12 2024", Unit(slow_2024, {}), Generation::k2024});
  cases.push_back({"12 2024 swapped", Unit(slow_2024_swapped, {}), Generation::k2024});
  for (Case& c : cases) {
    preset_switch_away_from(c.expected);
    EXPECT_EQ(c.unit.send(*pair->link), DL_OK) << c.label;
    expect_switch(c.expected, c.label);
    EXPECT_EQ(read_exact(pair->peer, c.unit.header.size()), c.unit.header) << c.label;
  }

  // Image heads leave the switch as it was.
  vrq5_image_head image{VRQ5_PATTERN_EVENT, 8 + 16};
  vrq5_image_ext_frame_head image_ext{};
  image_ext.width = 640;
  image_ext.length = 100 + 8;
  Unit images[] = {Unit(image, {16}), Unit(image_ext, {8})};
  for (Generation held : {Generation::k2024, Generation::k2010}) {
    Unit& unit = images[held == Generation::k2024 ? 0 : 1];
    if (held == Generation::k2024)
      set_data_format_2024(true);
    else
      set_data_format_2010(true);
    EXPECT_EQ(unit.send(*pair->link), DL_OK);
    expect_switch(held, "image");
    EXPECT_EQ(read_exact(pair->peer, unit.wire().size()), unit.wire());
  }
  EXPECT_TRUE(stays_quiet(pair->peer));
}

TEST(SendEventDirect, ElementsThatAddUpGoToWritevTogether) {
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  Unit fits(event36(VRQ5_PATTERN_EVENT, 136), {40, 60});
  EXPECT_EQ(fits.send(*pair->link), DL_OK);
  EXPECT_EQ(read_exact(pair->peer, 136), fits.wire());

  EXPECT_TRUE(stays_quiet(pair->peer));
}

// More elements than one writev takes: steps of 1024, in order, none lost.
TEST(SendEventDirect, ManyElementsArriveCompleteAndInOrder) {
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  for (int frsin : {2501, 1024, 1025, 2048}) {
    for (int mode : {SendEvent_NOACK, SendEvent_ACK}) {
      const size_t body = 4 * static_cast<size_t>(frsin - 1);
      Unit unit(event36(VRQ5_PATTERN_EVENT, static_cast<uint32_t>(36 + body)), sizes(frsin - 1, 4));
      Bytes got;
      std::thread peer([&] {
        if (mode == SendEvent_ACK) {
          got = read_exact(pair->peer, 36);
          answer(pair->peer, 0);
          got = concat(got, read_exact(pair->peer, body));
        } else {
          got = read_exact(pair->peer, 36 + body);
        }
      });
      EXPECT_EQ(unit.send(*pair->link, mode), DL_OK) << frsin << " mode " << mode;
      peer.join();
      EXPECT_EQ(got, unit.wire()) << frsin << " mode " << mode;
    }
  }
  EXPECT_TRUE(stays_quiet(pair->peer));
}

// A slow reader with a small receive buffer makes writev stop anywhere, also
// inside an element; every resumption must start at the first unsent byte.
TEST(SendEventDirect, PartialWritesResumeAtTheFirstUnsentByte) {
  for (bool no_delay : {true, false}) {
    auto pair = listener_with_raw_peer(NATIVE_MODE, false, true);
    ASSERT_TRUE(pair);
    // Plain mode on the non-blocking socket of a no_delay listener: each
    // EAGAIN waits for room instead of spinning.
    if (!no_delay) pair->link->SetDelay();
    int small = 16384;
    setsockopt(pair->peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::vector<size_t> body_sizes;
    for (int i = 0; i < 3000; ++i) body_sizes.push_back(i % 7 == 0 ? 0 : 997 + i % 13);
    body_sizes.insert(body_sizes.begin() + 1500, {1u << 20, 3u << 20, 7});
    size_t total = 36;
    for (size_t size : body_sizes) total += size;
    Unit unit(event36(VRQ5_PATTERN_EVENT, static_cast<uint32_t>(total)), body_sizes);
    const Bytes expected = unit.wire();
    Bytes got;
    std::thread reader([&] {
      while (got.size() < total) {
        Bytes chunk = read_exact(pair->peer, std::min<size_t>(small, total - got.size()));
        if (chunk.empty()) break;
        got.insert(got.end(), chunk.begin(), chunk.end());
      }
    });
    Capture out(1);
    Capture err(2);
    int status = -1;
    EXPECT_TRUE(finishes_within(30000, [&] { status = unit.send(*pair->link); }));
    reader.join();
    out.text();
    err.text();
    EXPECT_EQ(status, DL_OK) << no_delay;
    EXPECT_TRUE(got == expected) << no_delay << ": " << got.size() << " of " << total;
    bool repaired = false;
    for (size_t i = 1; i < unit.iov.size(); ++i)
      repaired |= unit.iov[i].iov_len != unit.bodies[i - 1].size() || unit.iov[i].iov_base != unit.bodies[i - 1].data();
    EXPECT_TRUE(repaired) << "no writev stopped early";
  }
}

TEST(SendEventAck, AnswersOfTheReceiver) {
  for (bool no_delay : {true, false}) {
    auto pair = listener_with_raw_peer(NATIVE_MODE, false, no_delay);
    ASSERT_TRUE(pair);
    DataLink& link = *pair->link;
    Unit unit(event36(VRQ5_PATTERN_EVENT, 136), {40, 60});
    const Bytes header_before = unit.header;

    // 0: the body follows the header; the body list starts at element 1, and
    // element 0 stays as it was. Mode 7 acts as the acknowledged mode.
    for (int mode : {static_cast<int>(SendEvent_ACK), 7}) {
      Bytes head;
      Bytes body;
      std::thread peer([&] {
        head = read_exact(pair->peer, 36);
        answer(pair->peer, 0);
        body = read_exact(pair->peer, 100);
      });
      EXPECT_EQ(unit.send(link, mode), DL_OK);
      peer.join();
      EXPECT_EQ(head, unit.header);
      EXPECT_EQ(body, unit.body_wire());
      EXPECT_EQ(unit.iov[0].iov_base, unit.header.data());
      EXPECT_EQ(unit.iov[0].iov_len, 36u);
      EXPECT_EQ(unit.header, header_before);
    }

    // The answer split into 2 + 2 bytes is joined into one value.
    {
      std::thread peer([&] {
        read_exact(pair->peer, 36);
        const int32_t zero = 0;
        write_all(pair->peer, &zero, 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        write_all(pair->peer, reinterpret_cast<const char*>(&zero) + 2, 2);
      });
      EXPECT_EQ(unit.send(link, SendEvent_ACK), DL_OK);
      peer.join();
      EXPECT_EQ(read_exact(pair->peer, 100), unit.body_wire());
    }

    // 1: no room at the receiver; the header is out, the body is not.
    {
      std::thread peer([&] {
        EXPECT_EQ(read_exact(pair->peer, 36), unit.header);
        answer(pair->peer, 1);
      });
      Capture out(1);
      EXPECT_EQ(unit.send(link, SendEvent_ACK), DL_ERR_BUFFER_SIZE);
      peer.join();
      EXPECT_EQ(out.text(), "");
      EXPECT_TRUE(stays_quiet(pair->peer));
    }
    EXPECT_EQ(link.IsLinkActive(), 1);
  }
}

// A receiver that never answers: about retrs waits of 100 ms, then 23 without
// the Retries line, and no body byte.
TEST(SendEventAck, ReceiverThatNeverAnswers) {
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  ASSERT_EQ(pair->link->SetRetry(3), DL_OK);
  Unit unit(event36(VRQ5_PATTERN_EVENT, 136), {40, 60});
  Capture out(1);
  ASSERT_TRUE(finishes_within(5000, [&] { EXPECT_EQ(unit.send(*pair->link, SendEvent_ACK), DL_ERR_RETRIES); }));
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(read_exact(pair->peer, 36), unit.header);
  EXPECT_TRUE(stays_quiet(pair->peer));
}

// Converting links: the unit goes out in network (big-endian) order, built by
// the real sizes of its header.
TEST(SendEventConverting, WireBytesInNetworkOrder) {
  vrq5_daq_slow_data_header slow{VRQ5_PATTERN_SLOW_2024, 12 + 12, 3};
  vrq5_image_head image{VRQ5_PATTERN_EVENT_2024, 8 + 20};
  vrq5_image_ext_frame_head image_ext{};
  image_ext.width = 1280;
  image_ext.scale_x = 1.5f;
  image_ext.length = 100 + 8;
  for (bool no_delay : {true, false}) {
    auto pair = listener_with_raw_peer(BIGEND_MODE, false, no_delay);
    ASSERT_TRUE(pair);
    ASSERT_TRUE(pair->link->get_swap());
    struct Case {
      std::string label;
      Unit unit;
      Bytes expected;
    };
    Unit event(event36(VRQ5_PATTERN_EVENT_2010, 36 + 40 + 60), {40, 60});
    Unit event_2024(event48(VRQ5_PATTERN_EVENT_2024, 48 + 24), {24});
    Unit slow_block(slow, {4, 8});
    Unit image_unit(image, {20});
    Unit image_ext_unit(image_ext, {8});
    std::vector<Case> cases{
        {"event 36", event, words_reversed(event.wire())},
        {"event 48", event_2024,
         concat(header_2024_reversed(event_2024.header), words_reversed(event_2024.body_wire()))},
        {"slow data", slow_block, words_reversed(slow_block.wire())},
        {"image", image_unit, words_reversed(image_unit.wire())},
        {"image ext", image_ext_unit, words_reversed(image_ext_unit.wire())},
    };
    for (Case& c : cases) {
      EXPECT_EQ(c.unit.send(*pair->link), DL_OK) << c.label;
      EXPECT_EQ(read_exact(pair->peer, c.expected.size()), c.expected) << c.label;
    }

    // A unit larger than the pieces it is turned and written in.
    Unit big(event36(VRQ5_PATTERN_EVENT_2010, 36 + 3 * 200000), {200000, 200000, 200000});
    for (int mode : {SendEvent_NOACK, SendEvent_ACK}) {
      Bytes got;
      std::thread peer([&] {
        got = read_exact(pair->peer, 36);
        if (mode == SendEvent_ACK) answer(pair->peer, 0);
        got = concat(got, read_exact(pair->peer, 3 * 200000));
      });
      EXPECT_EQ(big.send(*pair->link, mode), DL_OK) << "mode " << mode;
      peer.join();
      EXPECT_TRUE(got == words_reversed(big.wire())) << "mode " << mode;
    }

    // A 36-byte header whose pattern announces the 2024 layout is still 36
    // bytes: it switches to 2024 and only its own bytes go out.
    for (int mode : {SendEvent_NOACK, SendEvent_ACK}) {
      Unit odd(event36(VRQ5_PATTERN_EVENT_2024, 36), {});
      set_data_format_2010(true);
      std::thread peer([&] {
        EXPECT_EQ(read_exact(pair->peer, 36), words_reversed(odd.header));
        if (mode == SendEvent_ACK) answer(pair->peer, 0);
      });
      EXPECT_EQ(odd.send(*pair->link, mode), DL_OK);
      peer.join();
      EXPECT_TRUE(is_data_format_2024());
    }
    EXPECT_TRUE(stays_quiet(pair->peer));
  }
}

// Acknowledged mode on a converting caller: the converted header alone, the
// answer, then the converted body from behind the header.
TEST(SendEventConverting, AcknowledgedUnitOnAConvertingCaller) {
  auto pair = caller_with_raw_peer(swapped_order_bytes(0x0A0B0C0Du));
  ASSERT_TRUE(pair);
  ASSERT_EQ(pair->status, DL_OK);
  ASSERT_TRUE(pair->link->get_swap());
  Unit unit(event36(VRQ5_PATTERN_EVENT, 136), {40, 60});
  const Bytes expected = words_reversed(unit.wire());
  Bytes head;
  Bytes body;
  std::thread peer([&] {
    head = read_exact(pair->peer, 36);
    answer(pair->peer, 0);
    body = read_exact(pair->peer, 100);
  });
  EXPECT_EQ(unit.send(*pair->link, SendEvent_ACK), DL_OK);
  peer.join();
  EXPECT_EQ(concat(head, body), expected);

  std::thread refusing([&] {
    read_exact(pair->peer, 36);
    answer(pair->peer, 1);
  });
  EXPECT_EQ(unit.send(*pair->link, SendEvent_ACK), DL_ERR_BUFFER_SIZE);
  refusing.join();
  EXPECT_TRUE(stays_quiet(pair->peer));
}

// Every length check comes before the first byte of the unit, on both paths
// and in both modes: a refused unit leaves nothing on the wire, not even an
// acknowledged header that a receiver would answer and then wait behind, nor
// a body that does not fill the unit its header announces.
TEST(SendEventLengths, RefusalsSendNothingOnBothPaths) {
  for (int listener_mode : {NATIVE_MODE, BIGEND_MODE}) {
    for (bool no_delay : {true, false}) {
      auto pair = listener_with_raw_peer(listener_mode, false, no_delay);
      ASSERT_TRUE(pair);
      for (int mode : {SendEvent_NOACK, SendEvent_ACK}) {
        struct Case {
          Unit unit;
          std::string line;
        };
        Case cases[] = {
            {Unit(event36(VRQ5_PATTERN_EVENT, 136), {40, 70}),
             "Incosistent event length i:2 total:3 clen:-10 ev_len:136\n"},
            {Unit(event36(VRQ5_PATTERN_EVENT, 0), {}), "Something wrong (event_length:0)\n"},
            {Unit(event36(VRQ5_PATTERN_EVENT, 20), {}), "Something wrong (event_length:20)\n"},
            {Unit(event36(VRQ5_PATTERN_EVENT, 136), {40, 50}),
             "Incosistent event length i:3 total:3 clen:10 ev_len:136\n"},
            // 2024 lengths the receiver refuses: 4 GiB and more, or negative.
            {Unit(event48(VRQ5_PATTERN_EVENT_2024, (int64_t{1} << 32) + 48), {}), ""},
            {Unit(event48(VRQ5_PATTERN_EVENT_2024, int64_t{1} << 32), {}), ""},
            {Unit(event48(VRQ5_PATTERN_EVENT_2024, -1), {}), ""},
        };
        for (Case& c : cases) {
          Capture out(1);
          EXPECT_EQ(c.unit.send(*pair->link, mode), DL_ERR_VALUE) << c.line;
          EXPECT_EQ(out.text(), c.line);
        }
        EXPECT_TRUE(stays_quiet(pair->peer)) << "mode " << mode << " no_delay " << no_delay;
      }
      // A body element without bytes behind its length is refused, not
      // copied, and so is one of 4 GiB or more, whose low 32 bits add up.
      vrq5_eventheader hd = event36(VRQ5_PATTERN_EVENT, 76);
      char some[40] = {};
      struct iovec hollow[2] = {{&hd, sizeof hd}, {nullptr, 40}};
      struct iovec huge[2] = {{&hd, sizeof hd}, {some, (size_t{1} << 32) + 40}};
      EXPECT_EQ(pair->link->SendEvent(hollow, 2, SendEvent_NOACK), DL_ERR_VALUE);
      EXPECT_EQ(pair->link->SendEvent(huge, 2, SendEvent_NOACK), DL_ERR_VALUE);
      EXPECT_TRUE(stays_quiet(pair->peer));
      // A header alone whose length is its own size is a complete unit.
      Unit alone(event36(VRQ5_PATTERN_EVENT, 36), {});
      EXPECT_EQ(alone.send(*pair->link), DL_OK);
      EXPECT_EQ(read_exact(pair->peer, 36), listener_mode == BIGEND_MODE ? words_reversed(alone.header) : alone.header);
    }
  }
}

// A peer that stops reading: the body write spends its budget and the call
// reports it; an acknowledged header that cannot go out gives up silently.
TEST(SendEventFailures, FullSendBufferSpendsTheBudget) {
  for (int mode : {NATIVE_MODE, BIGEND_MODE}) {
    auto pair = listener_with_raw_peer(mode);
    ASSERT_TRUE(pair);
    DataLink& link = *pair->link;
    ASSERT_EQ(link.SetRetry(2), DL_OK);
    const size_t body = 32u << 20;
    Unit big(event36(VRQ5_PATTERN_EVENT, static_cast<uint32_t>(36 + body)), {body});
    Unit small(event36(VRQ5_PATTERN_EVENT, 36), {});
    Capture out(1);
    ASSERT_TRUE(finishes_within(10000, [&] {
      EXPECT_EQ(big.send(link), DL_ERR_RETRIES);
      EXPECT_EQ(small.send(link, SendEvent_ACK), DL_ERR_RETRIES);
    }));
    EXPECT_EQ(out.text(), "SendEvent():  Retries are exeeded:0(2)\n") << mode;
    EXPECT_EQ(link.IsLinkActive(), 1);
  }
}

// Plain mode is meant for blocking sockets; on a non-blocking one a full
// socket must end in the budget, not in a loop that never ends.
TEST(SendEventFailures, PlainModeOnNonBlockingSocketDoesNotSpin) {
  for (int mode : {NATIVE_MODE, BIGEND_MODE}) {
    auto pair = listener_with_raw_peer(mode, false, true);
    ASSERT_TRUE(pair);
    DataLink& link = *pair->link;
    link.SetDelay();
    ASSERT_EQ(link.SetRetry(2), DL_OK);
    const size_t body = 32u << 20;
    Unit big(event36(VRQ5_PATTERN_EVENT, static_cast<uint32_t>(36 + body)), {body});
    Capture out(1);
    Capture err(2);
    ASSERT_TRUE(finishes_within(10000, [&] { EXPECT_EQ(big.send(link), DL_ERR_RETRIES); }));
    EXPECT_NE(out.text().find("SendEvent():  Retries are exeeded:0(2)\n"), std::string::npos);
    const char* expected = mode == NATIVE_MODE ? "SendEvent(): Writev(4) failed: " : "SendEvent(): Writev(2) failed: ";
    EXPECT_NE(err.text().find(expected), std::string::npos);
  }
}

// A peer that has gone: the write meets EPIPE, the link is taken down, and the
// next call is refused as not connected.
TEST(SendEventFailures, BrokenPipeDisconnects) {
  struct Case {
    int mode;
    int send_mode;
  };
  for (Case c :
       {Case{NATIVE_MODE, SendEvent_NOACK}, Case{BIGEND_MODE, SendEvent_NOACK}, Case{NATIVE_MODE, SendEvent_ACK}}) {
    auto pair = listener_with_raw_peer(c.mode, true);
    ASSERT_TRUE(pair);
    close_fd(pair->peer);
    Unit unit(event36(VRQ5_PATTERN_EVENT, 136), {40, 60});
    Capture out(1);
    Capture err(2);
    EXPECT_EQ(unit.send(*pair->link, c.send_mode), DL_ERR_WRITE);
    EXPECT_EQ(pair->link->IsLinkActive(), 0);
    EXPECT_EQ(unit.send(*pair->link, c.send_mode), DL_ERR_NOT_CONNECTED);
  }
}

namespace {

// The list SendEvents takes: the units' elements back to back.
std::vector<struct iovec> batch_of(std::vector<Unit>& units) {
  std::vector<struct iovec> list;
  for (Unit& unit : units) {
    list.push_back({unit.header.data(), unit.header.size()});
    for (Bytes& body : unit.bodies) list.push_back({body.data(), body.size()});
  }
  return list;
}

// What a raw collector reads of the units, answering every header 0 when
// they are acknowledged.
Bytes collect(int fd, const std::vector<Unit>& units, bool ack) {
  Bytes got;
  for (const Unit& unit : units) {
    got = concat(got, read_exact(fd, unit.header.size()));
    if (ack) answer(fd, 0);
    got = concat(got, read_exact(fd, unit.body_wire().size()));
  }
  return got;
}

}  // namespace

// Units in one list give the bytes the same units give one SendEvent each, on
// native and converting links, acknowledged or not.
TEST(SendEvents, SameWireAsUnitByUnit) {
  for (int listener_mode : {NATIVE_MODE, BIGEND_MODE}) {
    for (int mode : {SendEvent_NOACK, SendEvent_ACK}) {
      auto pair = listener_with_raw_peer(listener_mode);
      ASSERT_TRUE(pair);
      std::vector<Unit> units = {Unit(event36(VRQ5_PATTERN_EVENT, 136), {40, 60}),
                                 Unit(event48(VRQ5_PATTERN_EVENT_2024, 48), {}),
                                 Unit(event36(VRQ5_PATTERN_EVENT, 40), {0, 4, 0}),
                                 Unit(event36(VRQ5_PATTERN_EVENT, 36 + 4 * 3000), sizes(3000, 4))};
      Bytes one_by_one, batched;
      std::thread peer([&] { one_by_one = collect(pair->peer, units, mode == SendEvent_ACK); });
      for (Unit& unit : units) EXPECT_EQ(unit.send(*pair->link, mode), DL_OK);
      peer.join();
      std::vector<struct iovec> list = batch_of(units);
      int sent = -1;
      peer = std::thread([&] { batched = collect(pair->peer, units, mode == SendEvent_ACK); });
      EXPECT_EQ(pair->link->SendEvents(list.data(), static_cast<int>(list.size()), mode, &sent), DL_OK);
      peer.join();
      EXPECT_EQ(sent, 4);
      EXPECT_EQ(batched, one_by_one) << "listener " << listener_mode << " mode " << mode;
      EXPECT_TRUE(stays_quiet(pair->peer));
    }
  }
}

// A unit whose elements do not add up to its length, or whose header size
// names no record, is refused before its first byte; the units before it go
// out and are counted.
TEST(SendEvents, RefusalBeforeTheUnitsFirstByte) {
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  char odd[20] = {};
  for (int mode : {SendEvent_NOACK, SendEvent_ACK}) {
    std::vector<Unit> good = {Unit(event36(VRQ5_PATTERN_EVENT, 76), {40})};
    Unit too_long(event36(VRQ5_PATTERN_EVENT, 136), {40, 70});
    Unit too_short(event36(VRQ5_PATTERN_EVENT, 136), {40});
    for (Unit* bad : {&too_long, &too_short, static_cast<Unit*>(nullptr)}) {
      std::vector<struct iovec> list = batch_of(good);
      std::vector<Unit> refused;
      if (bad != nullptr) refused.push_back(*bad);
      for (const struct iovec& element : batch_of(refused)) list.push_back(element);
      if (bad == nullptr) list.push_back({odd, sizeof odd});
      list.push_back(list[0]);  // a good unit behind the refused one stays unsent
      list.push_back(list[1]);
      Bytes got;
      std::thread peer([&] { got = collect(pair->peer, good, mode == SendEvent_ACK); });
      int sent = -1;
      Quiet quiet;
      EXPECT_EQ(pair->link->SendEvents(list.data(), static_cast<int>(list.size()), mode, &sent),
                bad != nullptr ? DL_ERR_VALUE : DL_ERR_PROTOCOL);
      peer.join();
      EXPECT_EQ(sent, 1);
      EXPECT_EQ(got, good[0].wire());
      EXPECT_TRUE(stays_quiet(pair->peer));
    }
  }
  // units_sent may be null; a list without a unit is refused.
  std::vector<Unit> one = {Unit(event36(VRQ5_PATTERN_EVENT, 36), {})};
  std::vector<struct iovec> list = batch_of(one);
  EXPECT_EQ(pair->link->SendEvents(list.data(), 1, SendEvent_NOACK, nullptr), DL_OK);
  EXPECT_EQ(read_exact(pair->peer, 36), one[0].header);
  EXPECT_EQ(pair->link->SendEvents(list.data(), 0, SendEvent_NOACK, nullptr), DL_ERR_VALUE);
}
