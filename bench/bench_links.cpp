// bench_links.cpp - many links in one pair of processes, as an event builder
// holds one link per front-end: N producer threads, each with a DataLink of
// its own, send to N collector threads, each with its own listening DataLink,
// over loopback TCP; N = 1, 4, 16, 64, 256 with units of 1 KiB and 64 KiB,
// not acknowledged. Prints a Markdown table of the aggregate units/s, its
// ratio to one link, and the collector's resident memory per link: idle
// (connected, its thread waiting in ReceiveEvent) and after the traffic
// (each link then also holds its last block).
//
// Every row runs in a fresh collector process that forks its producer, so
// the memory figures start from the same baseline.
//
// Usage: bench_links [1-KiB units per row, default 200000; 64-KiB rows send a
// tenth] [runs per row, default 3: the median rate is shown]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DataLink.h"
#include "common.h"
#include "units.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLinkCounts[] = {1, 4, 16, 64, 256};
constexpr int kMostLinks = kLinkCounts[sizeof kLinkCounts / sizeof kLinkCounts[0] - 1];
constexpr size_t kUnitBytes[] = {1024, 64 * 1024};
constexpr size_t kLargeUnitShare = 10;  // 64-KiB rows send this many times fewer units
constexpr unsigned kRowSeconds = 300;   // alarm of each row's processes
constexpr int kWaitSeconds = 1;         // one ReceiveEvent wait while the next unit is on its way
constexpr auto kSettle = std::chrono::milliseconds(300);

// A count that threads raise and wait on: a gate is a count that waits for 1.
class Count {
 public:
  void raise() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++value_;
    changed_.notify_all();
  }
  void wait_for(int value) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return value_ >= value; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int value_ = 0;
};

long resident_bytes() {
  long pages = 0, resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(statm);
  return resident * sysconf(_SC_PAGESIZE);
}

// The producer process: one connected DataLink per port, then, once the
// collector writes a byte to go_fd, per_link units on each. Exits 0 when
// every unit went out.
int produce(const std::vector<int>& ports, size_t unit_bytes, long per_link, int go_fd) {
  std::atomic<int> failed{0};
  Count go;
  std::vector<std::thread> threads;
  for (int port : ports) {
    threads.emplace_back([&, port] {
      DataLink link(NATIVE_MODE);
      const bool up = link.Connect("localhost", port) == DL_OK;
      if (!up) ++failed;
      go.wait_for(1);
      if (!up) return;
      const dltool::Unit unit = dltool::make_unit(dltool::Kind::Event, 0, unit_bytes - sizeof(vrq5_eventheader));
      for (long i = 0; i < per_link; ++i) {
        if (dltool::send_unit(link, unit, false) != DL_OK) {
          ++failed;
          break;
        }
      }
      link.Disconnect();
    });
  }
  char byte;
  const bool released = read(go_fd, &byte, 1) == 1;
  go.raise();
  for (std::thread& thread : threads) thread.join();
  return released && failed == 0 ? 0 : 1;
}

struct Row {
  double units_per_second = 0;
  long idle_bytes = 0;  // collector's resident memory above its start, links connected and waiting
  long busy_bytes = 0;  // the same when the last unit has arrived
  bool ok = false;
};

// The collector process: N listeners, the forked producer, N receiving
// threads. Measures and hands the row back through the result pipe.
Row collect(int links, size_t unit_bytes, long per_link) {
  Row row;
  const long baseline = resident_bytes();
  std::vector<int> ports;
  std::vector<std::unique_ptr<DataLink>> listeners;
  for (int i = 0; i < links; ++i) {
    ports.push_back(dltool::free_port());
    listeners.push_back(std::make_unique<DataLink>(NATIVE_MODE));
    if (listeners.back()->SocketSetup(ports.back()) != DL_OK) return row;
  }
  int go[2];
  if (pipe(go) != 0) return row;
  const pid_t producer = fork();
  if (producer == 0) {
    alarm(kRowSeconds);
    close(go[1]);
    _exit(produce(ports, unit_bytes, per_link, go[0]));
  }
  close(go[0]);

  // Each thread stays until the memory after the traffic has been read, so
  // that its stack and its link's last block count. A thread that fails
  // counts as waiting and finished all the same, and fails the row.
  std::atomic<bool> failed{false};
  Count waiting, finished, release;
  std::vector<std::thread> threads;
  for (auto& listener : listeners) {
    DataLink* link = listener.get();
    threads.emplace_back([&, link] {
      long received = 0;
      const bool up = link->Connect(true) == DL_OK;
      waiting.raise();
      while (up && received < per_link) {
        const int status = link->ReceiveEvent(nullptr, 1, kWaitSeconds, 0);
        if (status == DL_ERR_TIMEOUT || status == DL_ERR_SCAN_WOULD_BLOCK) continue;
        if (status != DL_OK || link->get_event_length() != unit_bytes) break;
        ++received;
      }
      if (received != per_link) failed = true;
      finished.raise();
      release.wait_for(1);
    });
  }
  waiting.wait_for(links);
  std::this_thread::sleep_for(kSettle);  // every thread is in its first wait by now
  const long idle = resident_bytes();
  const auto start = Clock::now();
  const bool released = write(go[1], "g", 1) == 1;
  if (released) finished.wait_for(links);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const long busy = resident_bytes();
  release.raise();
  for (std::thread& thread : threads) thread.join();
  int status = 0;
  waitpid(producer, &status, 0);

  row.ok = released && !failed && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  row.units_per_second = static_cast<double>(links) * static_cast<double>(per_link) / seconds;
  row.idle_bytes = idle - baseline;
  row.busy_bytes = busy - baseline;
  return row;
}

// Runs one row in a fresh collector process; its output is silenced, the row
// comes back through a pipe.
Row run_row(int links, size_t unit_bytes, long per_link) {
  Row row;
  int result[2];
  if (pipe(result) != 0) return row;
  std::fflush(nullptr);
  const pid_t collector = fork();
  if (collector == 0) {
    alarm(kRowSeconds);
    close(result[0]);
    dltool::QuietOutput quiet;  // the library's own lines
    Row measured = collect(links, unit_bytes, per_link);
    const bool written = write(result[1], &measured, sizeof measured) == sizeof measured;
    _exit(written ? 0 : 1);
  }
  close(result[1]);
  if (read(result[0], &row, sizeof row) != sizeof row) row.ok = false;
  close(result[0]);
  waitpid(collector, nullptr, 0);
  return row;
}

// The row of the median rate over runs fresh runs; any failed run fails it.
// The memory figures hardly move from run to run and come from the last.
Row median_row(int links, size_t unit_bytes, long per_link, int runs) {
  std::vector<double> rates;
  Row row;
  for (int run = 0; run < runs; ++run) {
    row = run_row(links, unit_bytes, per_link);
    if (!row.ok) return row;
    rates.push_back(row.units_per_second);
  }
  std::sort(rates.begin(), rates.end());
  row.units_per_second = rates[rates.size() / 2];
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  const long small_units = argc > 1 ? std::atol(argv[1]) : 200000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  if (small_units <= 0 || runs <= 0) {
    std::fprintf(stderr, "usage: bench_links [1-KiB units per row] [runs per row]\n");
    return 2;
  }
  std::printf("| links | unit | units/s | MB/s | vs 1 link | idle KiB/link | after traffic KiB/link |\n");
  std::printf("| ---: | ---: | ---: | ---: | ---: | ---: | ---: |\n");
  int failures = 0;
  long idle_of_one = 0, idle_of_most = 0;
  for (size_t unit_bytes : kUnitBytes) {
    const long units = unit_bytes == kUnitBytes[0] ? small_units : small_units / static_cast<long>(kLargeUnitShare);
    double single = 0;
    for (int links : kLinkCounts) {
      const long per_link = units / links > 0 ? units / links : 1;
      Row row = median_row(links, unit_bytes, per_link, runs);
      if (!row.ok) {
        std::printf("| %d | %zu KiB | failed | | | | |\n", links, unit_bytes / 1024);
        ++failures;
        continue;
      }
      if (links == 1) single = row.units_per_second;
      if (links == kLinkCounts[0]) idle_of_one = row.idle_bytes;
      if (links == kMostLinks) idle_of_most = row.idle_bytes;
      std::printf("| %d | %zu KiB | %.0f | %.0f | %.2f | %.1f | %.1f |\n", links, unit_bytes / 1024,
                  row.units_per_second, row.units_per_second * static_cast<double>(unit_bytes) / 1e6,
                  single > 0 ? row.units_per_second / single : 0.0, row.idle_bytes / 1024.0 / links,
                  row.busy_bytes / 1024.0 / links);
      std::fflush(stdout);
    }
  }
  // The per-link columns carry the collector's fixed start-up share; the
  // slope between the smallest and the largest row is what one more idle
  // link costs.
  std::printf("\nidle link, each one more: %.1f KiB (collector resident memory, %d to %d links)\n",
              static_cast<double>(idle_of_most - idle_of_one) / 1024.0 / (kMostLinks - kLinkCounts[0]), kLinkCounts[0],
              kMostLinks);
  return failures == 0 ? 0 : 1;
}
