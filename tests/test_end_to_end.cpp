// test_end_to_end.cpp - a DataLink producer and a DataLink collector moving a
// few thousand units of every kind and of sizes from 1 byte of body to
// several MiB, over TCP and UNIX-domain sockets, with and without conversion,
// with and without acknowledgement. Every unit must arrive byte-identical and
// come back out of the collector's ring buffer unchanged.
//
// The producer runs in a child process: the data-format switch is one value
// per process, and the two ends set it for different units at the same time.
#include "DataLink.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

using namespace testsupport;

namespace {

constexpr int kUnits = 2000;
constexpr unsigned kProducerSeconds = 50;        // the child is killed by an alarm after this
constexpr int kUnitDeadlineMs = 20000;           // longest wait for one unit's first bytes
constexpr unsigned long kRingBytes = 8ul << 20;  // holds the largest unit
constexpr size_t kLargeBody = 4ul << 20;         // every 500th unit
constexpr size_t kMediumBody = 64ul << 10;       // every 50th unit
constexpr size_t kSmallBodyMax = 4096;

uint64_t splitmix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Unit i of the sequence, in host order; both processes build the same one.
// Slow data announces its whole 32-bit words as channels, which is what the
// converting path turns around.
Bytes unit_of(int i) {
  uint64_t state = static_cast<uint64_t>(i) * 7919u + 1;
  size_t body = 1 + splitmix(state) % kSmallBodyMax;
  if (i % 500 == 499) body = kLargeBody + static_cast<size_t>(i % 7);
  if (i % 50 == 17) body = kMediumBody + static_cast<size_t>(i);
  if (i == 0) body = 1;

  static const uint32_t kPatterns[] = {VRQ5_PATTERN_EVENT_2010, VRQ5_PATTERN_EVENT_2024, VRQ5_PATTERN_SLOW,
                                       VRQ5_PATTERN_EVENT, VRQ5_PATTERN_SLOW_2024};
  const uint32_t pattern = kPatterns[i % 5];
  Bytes unit;
  if (pattern == VRQ5_PATTERN_EVENT_2024) {
    vrq5_eventheader_2024 h{};
    h.pattern = pattern;
    h.event_type = static_cast<VRQ5_EVTYPE>(i % 32);
    h.event_length = static_cast<int64_t>(sizeof h + body);
    h.event_number = (uint64_t{1} << 40) + static_cast<uint64_t>(i);
    h.event_time = {static_cast<uint32_t>(i), 999999};
    h.num_svr_block = 1;
    unit.assign(reinterpret_cast<uint8_t*>(&h), reinterpret_cast<uint8_t*>(&h) + sizeof h);
  } else if (pattern == VRQ5_PATTERN_SLOW || pattern == VRQ5_PATTERN_SLOW_2024) {
    vrq5_daq_slow_data_header h{};
    h.pattern = pattern;
    h.data_length = static_cast<uint32_t>(sizeof h + body);
    h.channels_number = static_cast<uint32_t>(body / 4);
    unit.assign(reinterpret_cast<uint8_t*>(&h), reinterpret_cast<uint8_t*>(&h) + sizeof h);
  } else {
    vrq5_eventheader h{};
    h.pattern = pattern;
    h.event_length = static_cast<uint32_t>(sizeof h + body);
    h.event_number = static_cast<uint32_t>(i);
    h.event_type = static_cast<VRQ5_EVTYPE>(i % 32);
    h.tmask = -1;
    h.num_svr_block = 2;
    unit.assign(reinterpret_cast<uint8_t*>(&h), reinterpret_cast<uint8_t*>(&h) + sizeof h);
  }
  const size_t head = unit.size();
  unit.resize(head + body);
  for (size_t at = head; at < unit.size(); at += 8) {
    uint64_t word = splitmix(state);
    std::memcpy(&unit[at], &word, std::min<size_t>(8, unit.size() - at));
  }
  return unit;
}

size_t header_size_of(const Bytes& unit) {
  uint32_t pattern;
  std::memcpy(&pattern, unit.data(), sizeof pattern);
  if (pattern == VRQ5_PATTERN_EVENT_2024) return sizeof(vrq5_eventheader_2024);
  if (pattern == VRQ5_PATTERN_SLOW || pattern == VRQ5_PATTERN_SLOW_2024) return sizeof(vrq5_daq_slow_data_header);
  return sizeof(vrq5_eventheader);
}

// The child's whole life: connect, send every unit, leave. The body goes in
// up to three pieces so that the scatter list has more than one element.
int run_producer(int port, int mode) {
  DataLink producer(0);
  producer.SetRetry(100);
  if (producer.Connect("localhost", port) != DL_OK) return 100;
  for (int i = 0; i < kUnits; ++i) {
    Bytes unit = unit_of(i);
    const size_t head = header_size_of(unit);
    const size_t body = unit.size() - head;
    const size_t cut1 = head + body / 3;
    const size_t cut2 = head + (2 * body) / 3;
    iovec vec[] = {{unit.data(), head},
                   {unit.data() + head, cut1 - head},
                   {unit.data() + cut1, cut2 - cut1},
                   {unit.data() + cut2, unit.size() - cut2}};
    int status = producer.SendEvent(vec, 4, mode);
    if (status != DL_OK) return status;
  }
  producer.Disconnect();
  return 0;
}

// A collector loop: 22 and 30 only mean that the next unit is not complete yet.
int receive_unit(DataLink& collector, RNG_RingBuffer* rb) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kUnitDeadlineMs);
  int status;
  do {
    status = collector.ReceiveEvent(rb, 1, 0, 100000);
  } while ((status == DL_ERR_TIMEOUT || status == DL_ERR_SCAN_WOULD_BLOCK) &&
           std::chrono::steady_clock::now() < deadline);
  return status;
}

const uint8_t* block_start(DataLink& collector) {
  if (auto* h = collector.get_event_header()) return reinterpret_cast<const uint8_t*>(h);
  if (auto* h = collector.get_event_header_2024()) return reinterpret_cast<const uint8_t*>(h);
  return reinterpret_cast<const uint8_t*>(collector.get_slow_data_header());
}

// Ends the producer if the collector gives up early, so no child outlives
// the test.
struct ChildGuard {
  pid_t pid;
  ~ChildGuard() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
};

// unix_domain, listener announces big-endian (both ends convert), acknowledged.
using Setting = std::tuple<bool, bool, bool>;

class EndToEnd : public ::testing::TestWithParam<Setting> {};

TEST_P(EndToEnd, EveryUnitArrivesByteIdenticalAndPassesThroughTheRing) {
  const auto [unix_domain, bigend, ack] = GetParam();
  const int port = free_port();
  SockTypeScope family(unix_domain ? "UNIX" : nullptr, port);

  DataLink collector(bigend ? BIGEND_MODE : NATIVE_MODE);
  {
    Capture quiet(1);
    ASSERT_EQ(collector.SocketSetup(port), DL_OK);
  }
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(kProducerSeconds);
    _exit(run_producer(port, ack ? SendEvent_ACK : SendEvent_NOACK));
  }
  ChildGuard guard{child};
  ASSERT_EQ(collector.Connect(true), DL_OK);
  EXPECT_EQ(collector.get_swap(), bigend);

  RNG_RingBuffer ring(kRingBytes);
  int events = 0;
  for (int i = 0; i < kUnits; ++i) {
    const Bytes expected = unit_of(i);
    const int status = receive_unit(collector, ack ? &ring : nullptr);
    ASSERT_EQ(status, DL_OK) << "unit " << i;
    const uint8_t* block = block_start(collector);
    ASSERT_NE(block, nullptr) << "unit " << i;
    // The length accessor follows the data-format switch, which for 2024 slow
    // data means the 48-byte layout; the slow-data header has its own field.
    const auto* slow = collector.get_slow_data_header();
    ASSERT_EQ(slow != nullptr ? slow->data_length : collector.get_event_length(), expected.size()) << "unit " << i;
    ASSERT_EQ(std::memcmp(block, expected.data(), expected.size()), 0) << "unit " << i;
    if (slow == nullptr) ++events;

    ASSERT_EQ(collector.WriteBlockToRingBuffer(ring), DL_OK) << "unit " << i;
    Bytes stored(expected.size());
    ASSERT_EQ(ring.Read(reinterpret_cast<char*>(stored.data()), static_cast<unsigned>(stored.size())),
              static_cast<int>(stored.size()));
    ASSERT_EQ(stored, expected) << "unit " << i;
  }
  EXPECT_EQ(collector.get_event_number(), events);  // the own counter

  int child_status = 0;
  ASSERT_EQ(waitpid(child, &child_status, 0), child);
  guard.pid = 0;
  EXPECT_TRUE(WIFEXITED(child_status)) << child_status;
  EXPECT_EQ(WEXITSTATUS(child_status), 0);
  Quiet quiet;
  collector.SocketRelease();
}

std::string setting_name(const ::testing::TestParamInfo<Setting>& info) {
  const auto [unix_domain, bigend, ack] = info.param;
  return std::string(unix_domain ? "Unix" : "Tcp") + (bigend ? "Converting" : "Native") + (ack ? "Ack" : "NoAck");
}

INSTANTIATE_TEST_SUITE_P(AllSettings, EndToEnd,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool(), ::testing::Bool()), setting_name);

}  // namespace
