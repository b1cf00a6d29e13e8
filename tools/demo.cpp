// demo.cpp - "datalink demo": a producer and a collector over loopback in
// two processes. Mixed events and slow data go acknowledged into a ring
// buffer that a recorder thread drains and checks byte for byte; camera
// images follow and are checked after the image receiver.
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "commands.h"
#include "recorder.h"
#include "status_name.h"

namespace dltool {

namespace {

constexpr uint64_t kRingBytes = 8ull << 20;
constexpr int kWaitMicroseconds = 250000;
constexpr double kStallSeconds = 30;  // without a unit the demo gives up
constexpr auto kRefusalPause = std::chrono::microseconds(100);

Kind kind_of_unit(uint64_t index) {
  static const Kind kKinds[] = {Kind::Event, Kind::Event2024, Kind::Slow};
  return kKinds[index % 3];
}

// Body sizes from one byte to a few MiB, so that small units, odd tails and
// units larger than a socket buffer all travel.
size_t body_of_unit(uint64_t index, uint64_t units) {
  static const size_t kSizes[] = {1, 5, 64, 333, 1024, 4000, 16384, 65536};
  if (index == units / 2) return (3u << 20) + 1;
  if (index % 500 == 499) return (1u << 20) + 3;
  return kSizes[index % (sizeof kSizes / sizeof kSizes[0])];
}

size_t data_of_image(uint64_t index) { return index == 0 ? (1u << 20) : 1280 * (16 + index % 32); }

int produce(const DemoOptions& options) {
  auto link = open_caller(options.link);
  if (!link) return kExitFailure;
  for (uint64_t i = 0; i < options.units; ++i) {
    Unit unit = make_unit(kind_of_unit(i), i, body_of_unit(i, options.units));
    int rc;
    while ((rc = send_unit(*link, unit, true)) == DL_ERR_BUFFER_SIZE) std::this_thread::sleep_for(kRefusalPause);
    if (rc != DL_OK) {
      fail_line("producer: unit " + std::to_string(i) + " failed: " + datalink::status_name(rc));
      return kExitFailure;
    }
  }
  // Images carry no acknowledgement.
  for (uint64_t i = 0; i < options.images; ++i) {
    int rc = send_unit(*link, make_unit(Kind::Image, i, data_of_image(i)), false);
    if (rc != DL_OK) {
      fail_line("producer: image " + std::to_string(i) + " failed: " + datalink::status_name(rc));
      return kExitFailure;
    }
  }
  close_link(*link);
  return kExitOk;
}

struct Tally {
  uint64_t units = 0;
  uint64_t bytes = 0;
  uint64_t refusals = 0;
  uint64_t mismatches = 0;
};

bool collect_units(DataLink& link, const DemoOptions& options, Tally* tally) {
  RNG_RingBuffer ring(kRingBytes);
  uint64_t checked = 0;
  Recorder recorder(ring, [&](const char* block, size_t size) {
    std::vector<char> expected =
        make_unit(kind_of_unit(checked), checked, body_of_unit(checked, options.units)).bytes();
    if (expected.size() != size || std::memcmp(expected.data(), block, size) != 0) ++tally->mismatches;
    ++checked;
  });
  auto last_progress = std::chrono::steady_clock::now();
  while (tally->units < options.units) {
    int rc = link.ReceiveEvent(&ring, 1, 0, kWaitMicroseconds);
    if (rc == DL_OK) {
      if (link.WriteBlockToRingBuffer(ring) != DL_OK) ++tally->mismatches;
      uint64_t length = 0;
      last_block(link, &length);
      ++tally->units;
      tally->bytes += length;
      last_progress = std::chrono::steady_clock::now();
    } else if (rc == DL_ERR_BUFFER_SIZE) {
      ++tally->refusals;
    } else if (link.peer_closed() || seconds_since(last_progress) > kStallSeconds ||
               (rc != DL_ERR_TIMEOUT && rc != DL_ERR_SCAN_WOULD_BLOCK)) {
      fail_line(std::string("collector: receiving failed: ") + datalink::status_name(rc));
      return false;
    }
  }
  recorder.finish();
  if (recorder.blocks() != options.units || recorder.stray_bytes() != 0) ++tally->mismatches;
  return true;
}

bool collect_images(DataLink& link, const DemoOptions& options, Tally* tally) {
  std::vector<char> data(data_of_image(0));
  for (uint64_t i = 0; i < options.images; ++i) {
    vrq5_image_ext_intro intro;
    char* into = data.data();
    int rc = link.ReceiveImage(&intro, &into, static_cast<int>(data.size()));
    if (rc != DL_OK) {
      fail_line(std::string("collector: image failed: ") + datalink::status_name(rc));
      return false;
    }
    Unit expected = make_unit(Kind::Image, i, data_of_image(i));
    std::vector<char> pixels(expected.body.begin() + kImageFrameHeadBytes, expected.body.end());
    // A converting link converts the intro but hands the data on as sent,
    // which is in network order.
    if (link.get_swap()) swap_words(pixels);
    bool same = intro.intro.length == expected.length() &&
                std::memcmp(&intro.head, expected.body.data(), kImageFrameHeadBytes) == 0 &&
                std::memcmp(data.data(), pixels.data(), pixels.size()) == 0;
    if (!same) ++tally->mismatches;
    ++tally->units;
    tally->bytes += expected.length();
  }
  return true;
}

void on_child_exit(int) {}

// Accepts the producer, unless it dies first: SIGCHLD (installed without
// SA_RESTART) then interrupts the accept.
bool accept_producer(DataLink& listener) {
  struct sigaction action {
  }, previous{};
  action.sa_handler = on_child_exit;
  sigemptyset(&action.sa_mask);
  sigaction(SIGCHLD, &action, &previous);
  int rc;
  {
    QuietOutput quiet;
    rc = listener.Connect(true);
  }
  sigaction(SIGCHLD, &previous, nullptr);
  if (rc != DL_OK) fail_line("the producer did not connect");
  return rc == DL_OK;
}

}  // namespace

int run_demo(const DemoOptions& given) {
  DemoOptions options = given;
  if (options.link.port == 0) options.link.port = free_port();
  auto listener = open_listener(options.link);
  if (!listener) return kExitFailure;
  std::fflush(nullptr);
  pid_t producer = fork();
  if (producer < 0) {
    fail_line("fork failed");
    close_link(*listener);
    return kExitFailure;
  }
  if (producer == 0) _exit(produce(options));

  auto start = std::chrono::steady_clock::now();
  Tally tally;
  bool ok = accept_producer(*listener) && collect_units(*listener, options, &tally) &&
            collect_images(*listener, options, &tally);
  double seconds = seconds_since(start);
  int producer_status = 0;
  waitpid(producer, &producer_status, 0);
  close_link(*listener);
  ok = ok && WIFEXITED(producer_status) && WEXITSTATUS(producer_status) == 0;

  std::printf("datalink demo over %s, %s\n", options.link.unix_domain ? "a UNIX-domain socket" : "loopback TCP",
              options.link.bigend ? "big-endian listener (both ends convert)" : "native byte order");
  std::printf("  units:      %llu (events, 2024 events and slow data acknowledged; %llu images)\n",
              static_cast<unsigned long long>(tally.units), static_cast<unsigned long long>(options.images));
  std::printf("  bytes:      %llu\n", static_cast<unsigned long long>(tally.bytes));
  std::printf("  throughput: %s in %.2f s\n", rate_text(tally.bytes, seconds).c_str(), seconds);
  std::printf("  refusals:   %llu (acknowledgement 1: the ring buffer was full)\n",
              static_cast<unsigned long long>(tally.refusals));
  std::printf("  mismatches: %llu\n", static_cast<unsigned long long>(tally.mismatches));
  if (!ok) {
    fail_line("demo failed");
    return kExitFailure;
  }
  return tally.mismatches == 0 ? kExitOk : kExitFailure;
}

}  // namespace dltool
