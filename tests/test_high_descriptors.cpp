// test_high_descriptors.cpp - a link whose sockets sit above descriptor 1023,
// beyond what a fixed-size select() set can watch, as in a recording server
// with many files and links open: every kind of unit, acknowledged and not,
// and an image still go through.
//
// Both ends live in processes of their own (the data-format switch is one
// value per process); the producer is a child that inherits the full
// descriptor table, so its socket is high as well.
#include "DataLink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "test_support.h"
#include "wire_units.h"

using namespace testsupport;

namespace {

constexpr int kLowestLinkDescriptor = 1100;  // what the link's sockets get at least
constexpr rlim_t kDescriptorLimit = 2048;
constexpr unsigned kProducerSeconds = 20;  // the child's alarm
constexpr size_t kBodyBytes = 4000;
constexpr size_t kImageDataBytes = 1 << 16;
constexpr unsigned long kRingBytes = 1 << 20;

// Raises the soft descriptor limit and takes every free descriptor below
// kLowestLinkDescriptor; both are given back at the end.
class LowDescriptorsTaken {
 public:
  LowDescriptorsTaken() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit raised = saved_;
    if (raised.rlim_cur < kDescriptorLimit) raised.rlim_cur = kDescriptorLimit;
    if (raised.rlim_max != RLIM_INFINITY && raised.rlim_cur > raised.rlim_max) return;
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) return;
    raised_ = true;
    int fd;
    while ((fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0) {
      taken_.push_back(fd);
      if (fd >= kLowestLinkDescriptor - 1) break;
    }
  }
  ~LowDescriptorsTaken() {
    for (int fd : taken_) close(fd);
    if (raised_) setrlimit(RLIMIT_NOFILE, &saved_);
  }
  bool ok() const { return !taken_.empty() && taken_.back() >= kLowestLinkDescriptor - 1; }

 private:
  rlimit saved_{};
  bool raised_ = false;
  std::vector<int> taken_;
};

struct Unit {
  size_t header;
  Bytes bytes;
  bool ack;
};

std::vector<Unit> units() {
  std::vector<Unit> all;
  for (bool ack : {false, true}) {
    all.push_back({sizeof(vrq5_eventheader), event36(VRQ5_PATTERN_EVENT_2010, 1, kBodyBytes, false), ack});
    all.push_back({sizeof(vrq5_eventheader_2024), event48(2, kBodyBytes, false), ack});
    all.push_back({sizeof(vrq5_daq_slow_data_header), slow(VRQ5_PATTERN_SLOW, kBodyBytes, false), ack});
  }
  return all;
}

// The image goes out as a SendEvent unit: its 8-byte head, then the frame
// head and the data.
Bytes image() { return intro_unit<vrq5_image_ext_intro>(VRQ5_PATTERN_EVENT_2010, kImageDataBytes, false); }

int send_all(int port) {
  DataLink producer(0);
  if (producer.Connect("localhost", port) != DL_OK) return 100;
  for (Unit& unit : units()) {
    iovec vec[] = {{unit.bytes.data(), unit.header},
                   {unit.bytes.data() + unit.header, unit.bytes.size() - unit.header}};
    const int status = producer.SendEvent(vec, 2, unit.ack ? SendEvent_ACK : SendEvent_NOACK);
    if (status != DL_OK) return status;
  }
  Bytes picture = image();
  iovec vec[] = {{picture.data(), sizeof(vrq5_image_head)},
                 {picture.data() + sizeof(vrq5_image_head), picture.size() - sizeof(vrq5_image_head)}};
  const int status = producer.SendEvent(vec, 2, SendEvent_NOACK);
  if (status != DL_OK) return status;
  producer.Disconnect();
  return 0;
}

TEST(HighDescriptors, EveryKindOfUnitPassesALinkAbove1023) {
  LowDescriptorsTaken taken;
  if (!taken.ok()) GTEST_SKIP() << "descriptor limit cannot be raised to " << kDescriptorLimit;
  const int port = free_port();
  DataLink collector(NATIVE_MODE);
  {
    Quiet quiet;
    ASSERT_EQ(collector.SocketSetup(port), DL_OK);
  }
  ChildProcess producer(kProducerSeconds, [&] { return send_all(port); });
  ASSERT_TRUE(producer.started());
  ASSERT_EQ(collector.Connect(true), DL_OK);

  RNG_RingBuffer ring(kRingBytes);
  for (const Unit& unit : units()) {
    // One wait of up to the producer's whole life for the next unit.
    ASSERT_EQ(collector.ReceiveEvent(unit.ack ? &ring : nullptr, 1, kProducerSeconds, 0), DL_OK);
    ASSERT_EQ(collector.WriteBlockToRingBuffer(ring), DL_OK);
    Bytes stored(unit.bytes.size());
    ASSERT_EQ(ring.Read(reinterpret_cast<char*>(stored.data()), static_cast<unsigned>(stored.size())),
              static_cast<int>(stored.size()));
    EXPECT_EQ(stored, unit.bytes);
  }
  const Bytes picture = image();
  vrq5_image_ext_intro intro;
  std::vector<char> data(kImageDataBytes);
  char* into = data.data();
  ASSERT_EQ(collector.ReceiveImage(&intro, &into, static_cast<int>(data.size())), DL_OK);
  // The pattern is taken by the search and reads 0; the rest arrives as sent.
  EXPECT_EQ(intro.intro.pattern, 0u);
  EXPECT_EQ(std::memcmp(&intro.intro.length, picture.data() + 4, sizeof intro - 4), 0);
  EXPECT_EQ(std::memcmp(data.data(), picture.data() + sizeof intro, data.size()), 0);

  EXPECT_EQ(producer.exit_code(), 0);
  Quiet quiet;
  collector.SocketRelease();
}

}  // namespace
