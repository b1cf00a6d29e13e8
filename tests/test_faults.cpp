// test_faults.cpp - a peer that vanishes at every byte of a unit. The
// receiver must return its documented code within its empty-read limits,
// never hand out a half unit as good, keep no descriptor, and take the next
// unit on a fresh connection intact; the sender must end with a status, not
// hang, whether the collector closes before, at or after the acknowledgement
// or in the middle of the body.
#include "DataLink.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

using namespace testsupport;

namespace {

constexpr size_t kBodyBytes = 64;
constexpr unsigned long kRingBytes = 1 << 20;
constexpr int kUnitDeadlineMs = 20000;

int open_fds() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

struct EventKind {
  const char* name;
  size_t header;
  Bytes unit;  // in host order: the link does not convert
};

std::vector<EventKind> event_kinds() {
  return {{"event36", sizeof(vrq5_eventheader), event36(VRQ5_PATTERN_EVENT_2010, 3, kBodyBytes, false)},
          {"event2024", sizeof(vrq5_eventheader_2024), event48(4, kBodyBytes, false)},
          {"slow", sizeof(vrq5_daq_slow_data_header), slow(VRQ5_PATTERN_SLOW, kBodyBytes, false)}};
}

// Offsets at which the peer closes: every one for these small units.
std::vector<size_t> cut_points(size_t length) {
  std::vector<size_t> cuts;
  for (size_t k = 0; k < length; ++k) cuts.push_back(k);
  return cuts;
}

// The codes a receiver may give for a peer that closes after `cut` bytes of
// a unit with a header of `header` bytes: no pattern within the scan bound
// (22), an incomplete header or body (16), or an acknowledgement that met the
// closed peer (13).
std::set<int> expected_event_codes(size_t cut, size_t header, bool ack) {
  if (cut < 4) return {DL_ERR_TIMEOUT};
  if (cut < header) return {DL_ERR_READ};
  if (ack) return {DL_ERR_READ, DL_ERR_WRITE};
  return {DL_ERR_READ};
}

// A listener that takes one raw connection after the other.
class Collector {
 public:
  Collector() : pair_(listener_with_raw_peer()) {}
  bool ok() const { return pair_ != nullptr; }
  DataLink& link() { return *pair_->link; }

  // A fresh connection from a raw peer that sends bytes and closes.
  void peer_sends_and_closes(const Bytes& bytes) {
    close_fd(pair_->peer);
    pair_->peer = raw_connect(pair_->port, false);
    ASSERT_GE(pair_->peer, 0);
    {
      Capture quiet(2);
      ASSERT_EQ(link().Connect(false), DL_OK);
    }
    ASSERT_EQ(read_exact(pair_->peer, 4).size(), 4u);
    ASSERT_TRUE(write_all(pair_->peer, bytes));
    close_fd(pair_->peer);
  }

 private:
  std::unique_ptr<ListenerAndRawPeer> pair_;
};

// What the link holds after a call: nothing, or exactly a complete unit.
Bytes held_block(DataLink& link) {
  const char* block = reinterpret_cast<const char*>(link.get_event_header());
  if (block == nullptr) block = reinterpret_cast<const char*>(link.get_event_header_2024());
  if (block == nullptr) block = reinterpret_cast<const char*>(link.get_slow_data_header());
  if (block == nullptr) return {};
  return Bytes(block, block + link.get_event_length());
}

}  // namespace

TEST(Faults, EventReceiverSurvivesAPeerThatClosesAtEveryByte) {
  const int fds_before = open_fds();
  for (const EventKind& kind : event_kinds()) {
    for (bool ack : {false, true}) {
      SCOPED_TRACE(std::string(kind.name) + (ack ? " with acknowledgement" : " without"));
      Collector collector;
      ASSERT_TRUE(collector.ok());
      RNG_RingBuffer ring(kRingBytes);
      RNG_RingBuffer* rb = ack ? &ring : nullptr;
      bool good = false;
      for (size_t cut : cut_points(kind.unit.size())) {
        SCOPED_TRACE("closed after " + std::to_string(cut) + " bytes");
        collector.peer_sends_and_closes(Bytes(kind.unit.begin(), kind.unit.begin() + cut));
        int rc = -1;
        {
          Quiet quiet;
          ASSERT_TRUE(finishes_within(kUnitDeadlineMs, [&] { rc = collector.link().ReceiveEvent(rb, 1, 5, 0); }));
        }
        EXPECT_EQ(expected_event_codes(cut, kind.header, ack).count(rc), 1u) << "status " << rc;
        // A failed call leaves either no block or the last complete one.
        const Bytes held = held_block(collector.link());
        EXPECT_TRUE(held.empty() || (good && held == kind.unit));

        collector.peer_sends_and_closes(kind.unit);
        {
          Quiet quiet;
          ASSERT_TRUE(finishes_within(kUnitDeadlineMs, [&] { rc = collector.link().ReceiveEvent(rb, 1, 5, 0); }));
        }
        ASSERT_EQ(rc, DL_OK);
        ASSERT_EQ(held_block(collector.link()), kind.unit);
        good = true;
        if (rb) {
          ASSERT_EQ(ring.bytesUsed(), 0u);  // the space check reserves nothing
        }
      }
    }
  }
  EXPECT_EQ(open_fds(), fds_before);
}

namespace {

template <typename Intro>
using Receive = int (DataLink::*)(Intro*, char**, int);

template <typename Intro>
void intro_receiver_survives(Receive<Intro> receive, uint32_t pattern) {
  const Bytes unit = intro_unit<Intro>(pattern, kBodyBytes, false);
  Collector collector;
  ASSERT_TRUE(collector.ok());
  for (size_t cut : cut_points(unit.size())) {
    for (bool caller_buffer : {false, true}) {
      SCOPED_TRACE("closed after " + std::to_string(cut) + " bytes, caller's buffer " + std::to_string(caller_buffer));
      std::vector<char> mine(kBodyBytes);
      char* buf = caller_buffer ? mine.data() : nullptr;
      Intro intro;
      int rc = -1;
      collector.peer_sends_and_closes(Bytes(unit.begin(), unit.begin() + cut));
      {
        Quiet quiet;
        ASSERT_TRUE(finishes_within(
            kUnitDeadlineMs, [&] { rc = (collector.link().*receive)(&intro, &buf, static_cast<int>(kBodyBytes)); }));
      }
      // Every phase (pattern, intro, data) gives up with 16 at its limit.
      EXPECT_EQ(rc, DL_ERR_READ);
      if (!caller_buffer) delete[] buf;  // allocated by the call, owned by the caller even on failure

      buf = caller_buffer ? mine.data() : nullptr;
      collector.peer_sends_and_closes(unit);
      {
        Quiet quiet;
        ASSERT_TRUE(finishes_within(
            kUnitDeadlineMs, [&] { rc = (collector.link().*receive)(&intro, &buf, static_cast<int>(kBodyBytes)); }));
      }
      ASSERT_EQ(rc, DL_OK);
      EXPECT_EQ(intro.intro.length, unit.size());
      EXPECT_EQ(std::memcmp(&intro.head, unit.data() + sizeof intro.intro, sizeof intro.head), 0);
      EXPECT_EQ(std::memcmp(buf, unit.data() + sizeof intro, kBodyBytes), 0);
      if (!caller_buffer) delete[] buf;
    }
  }
}

}  // namespace

TEST(Faults, ImageAndSpectrumReceiversSurviveAPeerThatClosesAtEveryByte) {
  const int fds_before = open_fds();
  intro_receiver_survives<vrq5_image_ext_intro>(&DataLink::ReceiveImage, VRQ5_PATTERN_EVENT_2024);
  intro_receiver_survives<vrq5_spect_intro>(&DataLink::ReceiveSpect, VRQ5_PATTERN_EVENT);
  EXPECT_EQ(open_fds(), fds_before);
}

namespace {

// The sender's statuses when the collector goes away: the acknowledgement
// never comes (a closed peer gives empty reads until the limit: 23), a write
// fails (13), the link took itself down after EPIPE (6), or the body still
// fitted into the socket buffer (0).
const std::set<int> kSenderCodes{DL_OK, DL_ERR_WRITE, DL_ERR_NOT_CONNECTED, DL_ERR_RETRIES};

enum class Collapse { BeforeAck, AfterAck, MidBody };

// The collector reads the header, then behaves as `how` says and closes.
void sender_meets(Collapse how, size_t body_bytes, bool ack) {
  auto pair = caller_with_raw_peer(host_order_bytes(0x0A0B0C0Du));
  ASSERT_TRUE(pair && pair->status == DL_OK);
  const Bytes unit = event36(VRQ5_PATTERN_EVENT_2010, 1, body_bytes, false);
  const size_t header = sizeof(vrq5_eventheader);
  std::thread collector([&] {
    if (ack) {
      if (read_exact(pair->peer, header).size() != header) return;
      if (how != Collapse::BeforeAck) {
        const int32_t zero = 0;
        write_all(pair->peer, &zero, sizeof zero);
      }
    }
    if (how == Collapse::MidBody) read_exact(pair->peer, body_bytes / 2);
    // Unread bytes make the close a reset, as a crashed collector's would.
    close_fd(pair->peer);
  });
  std::vector<int> codes;
  auto send_until_down = [&] {
    for (int attempt = 0; attempt < 8; ++attempt) {
      iovec iov[2] = {{const_cast<uint8_t*>(unit.data()), header},
                      {const_cast<uint8_t*>(unit.data()) + header, unit.size() - header}};
      codes.push_back(pair->link->SendEvent(iov, 2, ack ? SendEvent_ACK : SendEvent_NOACK));
      if (attempt == 0) collector.join();
      if (codes.back() == DL_ERR_NOT_CONNECTED) break;
    }
  };
  {
    Quiet quiet;
    ASSERT_TRUE(finishes_within(kUnitDeadlineMs, send_until_down));
  }
  for (int rc : codes) EXPECT_EQ(kSenderCodes.count(rc), 1u) << "status " << rc;
  // The peer is gone for good: before long a write meets it, the link drops
  // itself (6), or the acknowledgement wait keeps giving up (23).
  EXPECT_TRUE(codes.back() == DL_ERR_NOT_CONNECTED || codes.back() == DL_ERR_RETRIES) << "last " << codes.back();
  if (how == Collapse::BeforeAck && ack) {
    EXPECT_EQ(codes.front(), DL_ERR_RETRIES);
  }
}

}  // namespace

TEST(Faults, SenderEndsWithAStatusWhenTheCollectorVanishes) {
  const int fds_before = open_fds();
  constexpr size_t kSmallBody = 64;
  constexpr size_t kLargeBody = 8u << 20;  // far beyond any socket buffer
  for (bool ack : {true, false}) {
    for (Collapse how : {Collapse::BeforeAck, Collapse::AfterAck, Collapse::MidBody}) {
      for (size_t body : {kSmallBody, kLargeBody}) {
        SCOPED_TRACE("ack " + std::to_string(ack) + " collapse " + std::to_string(static_cast<int>(how)) + " body " +
                     std::to_string(body));
        sender_meets(how, body, ack);
      }
    }
  }
  EXPECT_EQ(open_fds(), fds_before);
}
