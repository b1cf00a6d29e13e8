// bench.cpp - "datalink bench": the link's own throughput on this machine.
// For each transport and unit size a producer thread sends units to a
// collector in this process, without and with acknowledgements; the clock
// runs from the first unit's arrival to the last, so connection setup is not
// counted. The raw-socket and ZeroMQ baselines live in bench/bench_compare.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "commands.h"

namespace dltool {

namespace {

constexpr size_t kHeaderBytes = sizeof(vrq5_eventheader);

// A row moves about this many bytes (--quick: the second figure) ...
constexpr uint64_t kTargetBytes = 64ull << 20;
constexpr uint64_t kQuickTargetBytes = 4ull << 20;
// ... in no fewer units than this, and no more than these.
constexpr uint64_t kMinUnits = 16;
constexpr uint64_t kMaxUnits = 100000;
constexpr uint64_t kQuickMaxUnits = 2000;

using Clock = std::chrono::steady_clock;

struct Row {
  bool unix_domain;
  bool ack;
  size_t size;  // whole unit, header included
  uint64_t count;
};

// Seconds from the first unit's arrival to the last, or -1 on a failure.
double time_row(const Row& row, bool bigend) {
  LinkOptions options;
  options.port = free_port();
  options.unix_domain = row.unix_domain;
  options.bigend = bigend;
  auto listener = open_listener(options);
  if (!listener) return -1;
  DataLink producer(NATIVE_MODE);
  int connected = DL_ERR_CONNECT;
  int accepted;
  {
    // Both ends set up under one silencer: it redirects the whole process.
    QuietOutput quiet;
    std::thread calling([&] { connected = producer.Connect(options.host.c_str(), options.port); });
    accepted = listener->Connect(true);
    calling.join();
  }
  double seconds = -1;
  const Unit unit = make_unit(Kind::Event, 1, row.size - kHeaderBytes);
  std::thread sending;
  if (connected == DL_OK && accepted == DL_OK) {
    sending = std::thread([&] {
      for (uint64_t i = 0; i < row.count; ++i)
        if (send_unit(producer, unit, row.ack) != DL_OK) return;
    });
    // The ring only answers the acknowledgement from its free space.
    RNG_RingBuffer ring(row.size * 2 + 4096);
    Clock::time_point start;
    uint64_t received = 0;
    while (received < row.count && listener->ReceiveEvent(row.ack ? &ring : nullptr, -1, -1, -1) == DL_OK)
      if (++received == 1) start = Clock::now();
    if (received == row.count) seconds = seconds_since(start);
  }
  close_link(*listener);  // a producer still waiting for an answer gives up
  if (sending.joinable()) sending.join();
  close_link(producer);
  return seconds;
}

// Enough units for a steady figure, about the target's bytes; acknowledged
// units cost a round trip each, so they get an eighth of it.
uint64_t units_for(size_t size, bool ack, const BenchOptions& options) {
  if (options.count > 0) return options.count;
  const uint64_t target = (options.quick ? kQuickTargetBytes : kTargetBytes) / (ack ? 8 : 1);
  return std::clamp<uint64_t>(target / size, kMinUnits, options.quick ? kQuickMaxUnits : kMaxUnits);
}

}  // namespace

int run_bench(const BenchOptions& options) {
  if (options.csv)
    std::printf("size_bytes,transport,mode,count,units_per_s,mb_per_s\n");
  else
    std::printf("%10s %-5s %-6s %8s %14s %10s\n", "size [B]", "link", "mode", "count", "units/s", "MB/s");
  bool failed = false;
  for (const std::string& transport : options.transports) {
    for (size_t requested : options.sizes) {
      for (bool ack : {false, true}) {
        const size_t size = std::max(requested, kHeaderBytes);
        const Row row{transport == "unix", ack, size, units_for(size, ack, options)};
        const double seconds = time_row(row, options.bigend);
        // The first unit starts the clock, so count - 1 units are timed.
        const double rate = seconds > 0 ? static_cast<double>(row.count - 1) / seconds : 0;
        const double mbps = rate * static_cast<double>(size) / 1e6;
        failed = failed || seconds <= 0;
        const char* mode = ack ? "ack" : "noack";
        if (options.csv)
          std::printf("%zu,%s,%s,%llu,%.0f,%.1f\n", size, transport.c_str(), mode,
                      static_cast<unsigned long long>(row.count), rate, mbps);
        else
          std::printf("%10zu %-5s %-6s %8llu %14.0f %10.1f\n", size, transport.c_str(), mode,
                      static_cast<unsigned long long>(row.count), rate, mbps);
        std::fflush(stdout);
      }
    }
  }
  if (failed) fail_line("some rows failed to run");
  return failed ? kExitFailure : kExitOk;
}

}  // namespace dltool
