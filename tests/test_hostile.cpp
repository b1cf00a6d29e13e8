// test_hostile.cpp - lengths no honest producer sends: zero, shorter than the
// header, 2^31-1, 2^32-1, negative and beyond 32 bits in a 2024 header, and
// image and spectrum lengths beyond the caller's buffer. Each is refused or
// read to the end of the stream with a status, the next unit still arrives,
// and the process's peak memory stays far below what the lengths announce.
#include "DataLink.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

using namespace testsupport;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// The sanitizer poisons an eighth of every block it frees, so a 4 GiB block
// that was never filled still costs it half a gigabyte of shadow.
constexpr long kPeakGrowthBoundKb = kAddressSanitizer ? (1536L << 10) : (256L << 10);
constexpr unsigned long kRingBytes = 1 << 20;
constexpr int kDeadlineMs = 20000;

long peak_rss_kb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void set_length32(Bytes& unit, uint32_t length) { std::memcpy(&unit[4], &length, sizeof length); }
void set_length64(Bytes& unit, int64_t length) { std::memcpy(&unit[8], &length, sizeof length); }

struct Case {
  std::string name;
  Bytes unit;  // header with the hostile length and a short body, then the peer closes
  bool ring;   // with a ring buffer the length is first checked against its space
  std::set<int> codes;
};

std::vector<Case> event_cases() {
  const Bytes e36 = event36(VRQ5_PATTERN_EVENT_2010, 1, 16, false);
  const Bytes e48 = event48(2, 16, false);
  const Bytes slow = testsupport::slow(VRQ5_PATTERN_SLOW_2024, 16, false);
  std::vector<Case> cases;
  auto with32 = [](Bytes unit, uint32_t length) {
    set_length32(unit, length);
    return unit;
  };
  auto with64 = [](Bytes unit, int64_t length) {
    set_length64(unit, length);
    return unit;
  };
  for (bool ring : {false, true}) {
    const std::string r = ring ? " ring" : "";
    // Shorter than the header: no block at all, whatever the ring holds.
    cases.push_back({"36 length 0" + r, with32(e36, 0), ring, {DL_ERR_VALUE}});
    cases.push_back({"36 length 20" + r, with32(e36, 20), ring, {DL_ERR_VALUE}});
    cases.push_back({"slow length 0" + r, with32(slow, 0), ring, {DL_ERR_VALUE}});
    cases.push_back({"slow length 11" + r, with32(slow, 11), ring, {DL_ERR_VALUE}});
    cases.push_back({"2024 length 47" + r, with64(e48, 47), ring, {DL_ERR_VALUE}});
    // Longer than the ring: refused by the acknowledgement (25). Without a
    // ring the block is allocated and read until the peer's end (16).
    const int big = ring ? DL_ERR_BUFFER_SIZE : DL_ERR_READ;
    cases.push_back({"36 length 2^31-1" + r, with32(e36, 0x7FFFFFFFu), ring, {big}});
    cases.push_back({"36 length 2^32-1" + r, with32(e36, 0xFFFFFFFFu), ring, {big}});
    cases.push_back({"slow length 2^32-1" + r, with32(slow, 0xFFFFFFFFu), ring, {big}});
    cases.push_back({"2024 length 2^32-1" + r, with64(e48, 0xFFFFFFFFll), ring, {big}});
    // A negative or beyond-32-bit 2024 length is no unit any producer can
    // send: refused before any allocation (with a ring it is too large for it).
    const int never = ring ? DL_ERR_BUFFER_SIZE : DL_ERR_VALUE;
    cases.push_back({"2024 length -1" + r, with64(e48, -1), ring, {never}});
    cases.push_back({"2024 length -2^63" + r, with64(e48, INT64_MIN), ring, {never}});
    cases.push_back({"2024 length 2^32" + r, with64(e48, 0x100000000ll), ring, {never}});
    cases.push_back({"2024 length 2^62" + r, with64(e48, 1ll << 62), ring, {never}});
  }
  return cases;
}

}  // namespace

TEST(Hostile, EventLengthsAreRefusedOrReadToTheEndWithBoundedMemory) {
  const long peak_before = peak_rss_kb();
  const Bytes next = event36(VRQ5_PATTERN_EVENT, 9, 32, false);
  for (const Case& c : event_cases()) {
    SCOPED_TRACE(c.name);
    auto pair = listener_with_raw_peer();
    ASSERT_TRUE(pair);
    RNG_RingBuffer ring(kRingBytes);
    RNG_RingBuffer* rb = c.ring ? &ring : nullptr;
    ASSERT_TRUE(write_all(pair->peer, c.unit));
    int rc = -1;
    {
      Quiet quiet;
      if (c.codes.count(DL_ERR_READ)) shutdown(pair->peer, SHUT_WR);  // the body ends with the stream
      ASSERT_TRUE(finishes_within(kDeadlineMs, [&] { rc = pair->link->ReceiveEvent(rb, 1, 5, 0); }));
    }
    EXPECT_EQ(c.codes.count(rc), 1u) << "status " << rc;
    EXPECT_EQ(pair->link->get_event_header(), nullptr);  // nothing half read is held as a block
    if (c.codes.count(DL_ERR_READ)) continue;            // the stream has ended

    // The rest of the hostile unit is junk to the next call, which finds the
    // next unit behind it.
    ASSERT_TRUE(write_all(pair->peer, next));
    {
      Quiet quiet;
      ASSERT_TRUE(finishes_within(kDeadlineMs, [&] { rc = pair->link->ReceiveEvent(rb, 1, 5, 0); }));
    }
    ASSERT_EQ(rc, DL_OK);
    vrq5_eventheader* header = pair->link->get_event_header();
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(std::memcmp(header, next.data(), next.size()), 0);
  }
  const long growth = peak_rss_kb() - peak_before;
  RecordProperty("peak_rss_growth_kb", std::to_string(growth));
  std::printf("peak RSS grew by %ld kB over lengths of up to 4 GiB\n", growth);
  EXPECT_LT(growth, kPeakGrowthBoundKb);
}

namespace {

template <typename Intro>
using Receive = int (DataLink::*)(Intro*, char**, int);

// Lengths below the intro give 19, lengths beyond sz give 25 before anything
// is read or allocated; the data then left on the stream are skipped by the
// next search.
template <typename Intro>
void intro_lengths(Receive<Intro> receive) {
  constexpr int kSz = 256;
  const Bytes next = intro_unit<Intro>(VRQ5_PATTERN_EVENT, 32, false);
  struct LengthCase {
    uint32_t length;
    int code;
  };
  const LengthCase cases[] = {{0, DL_ERR_VALUE},
                              {sizeof(Intro) - 1, DL_ERR_VALUE},
                              {uint32_t(sizeof(Intro) + kSz + 1), DL_ERR_BUFFER_SIZE},
                              {0x7FFFFFFFu, DL_ERR_BUFFER_SIZE},
                              {0x80000000u, DL_ERR_BUFFER_SIZE},
                              {0xFFFFFFFFu, DL_ERR_BUFFER_SIZE}};
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  for (const LengthCase& c : cases) {
    for (bool caller_buffer : {false, true}) {
      SCOPED_TRACE("length " + std::to_string(c.length) + " caller's buffer " + std::to_string(caller_buffer));
      Bytes unit = intro_unit<Intro>(VRQ5_PATTERN_EVENT_2010, 8, false);
      set_length32(unit, c.length);
      std::vector<char> mine(kSz);
      char* buf = caller_buffer ? mine.data() : nullptr;
      Intro intro;
      ASSERT_TRUE(write_all(pair->peer, unit));
      int rc = -1;
      ASSERT_TRUE(finishes_within(kDeadlineMs, [&] { rc = (pair->link.get()->*receive)(&intro, &buf, kSz); }));
      EXPECT_EQ(rc, c.code);
      EXPECT_EQ(buf, caller_buffer ? mine.data() : nullptr);  // refused before any allocation

      ASSERT_TRUE(write_all(pair->peer, next));
      ASSERT_TRUE(finishes_within(kDeadlineMs, [&] { rc = (pair->link.get()->*receive)(&intro, &buf, kSz); }));
      ASSERT_EQ(rc, DL_OK);
      EXPECT_EQ(intro.intro.length, next.size());
      EXPECT_EQ(std::memcmp(buf, next.data() + sizeof(Intro), 32), 0);
      if (!caller_buffer) delete[] buf;
    }
  }
}

}  // namespace

TEST(Hostile, ImageAndSpectrumLengthsOutsideTheBufferAreRefused) {
  const long peak_before = peak_rss_kb();
  intro_lengths<vrq5_image_ext_intro>(&DataLink::ReceiveImage);
  intro_lengths<vrq5_spect_intro>(&DataLink::ReceiveSpect);
  EXPECT_LT(peak_rss_kb() - peak_before, kPeakGrowthBoundKb);
}
