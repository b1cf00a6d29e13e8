// bench.cpp - "datalink bench": producer-to-collector throughput of the link
// beside a raw socket pair moving the same bytes, in the same run.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "commands.h"
#include "status_name.h"

namespace dltool {

namespace {

constexpr uint64_t kTargetBytes = 512ull << 20;
constexpr uint64_t kQuickTargetBytes = 16ull << 20;
constexpr uint64_t kMaxUnits = 200000;
constexpr uint64_t kMaxAckUnits = 20000;
constexpr uint64_t kMinUnits = 20;
constexpr size_t kRawReadBytes = 1u << 20;

struct Row {
  size_t size;
  uint64_t count;
  bool unix_domain;
  bool ack;
  double link_seconds;
  double raw_seconds;
};

// The unit every row sends: a 36-byte event header and its body.
Unit bench_unit(size_t size) {
  return make_unit(Kind::Event, 1, size > sizeof(vrq5_eventheader) ? size - sizeof(vrq5_eventheader) : 0);
}

double time_link(size_t size, uint64_t count, bool unix_domain, bool ack) {
  LinkOptions options;
  options.port = free_port();
  options.unix_domain = unix_domain;
  auto listener = open_listener(options);
  if (!listener) return -1;
  std::fflush(nullptr);
  pid_t producer = fork();
  if (producer == 0) {
    auto link = open_caller(options);
    if (!link) _exit(kExitFailure);
    Unit unit = bench_unit(size);
    for (uint64_t i = 0; i < count; ++i)
      if (send_unit(*link, unit, ack) != DL_OK) _exit(kExitFailure);
    close_link(*link);
    _exit(kExitOk);
  }
  RNG_RingBuffer ring(size * 2 + 4096);
  double seconds = -1;
  int accepted;
  {
    QuietOutput quiet;
    accepted = listener->Connect(true);
  }
  if (accepted == DL_OK) {
    auto start = std::chrono::steady_clock::now();
    uint64_t received = 0;
    while (received < count) {
      int rc = listener->ReceiveEvent(ack ? &ring : nullptr, -1, -1, -1);
      if (rc != DL_OK) break;
      ++received;
    }
    if (received == count) seconds = seconds_since(start);
  }
  int status = 0;
  waitpid(producer, &status, 0);
  close_link(*listener);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

// The same bytes through a bare socket pair: one writev per unit, reads of
// up to 1 MiB on the other side.
double time_raw(size_t size, uint64_t count, bool unix_domain) {
  int port = free_port();
  std::string path = "/tmp/" + std::to_string(port) + ".tcp";
  int listener = socket(unix_domain ? AF_UNIX : AF_INET, SOCK_STREAM, 0);
  sockaddr_in inet{};
  sockaddr_un local{};
  inet.sin_family = AF_INET;
  inet.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  inet.sin_port = htons(static_cast<uint16_t>(port));
  local.sun_family = AF_UNIX;
  std::snprintf(local.sun_path, sizeof local.sun_path, "%s", path.c_str());
  sockaddr* address = unix_domain ? reinterpret_cast<sockaddr*>(&local) : reinterpret_cast<sockaddr*>(&inet);
  socklen_t length = unix_domain ? sizeof local : sizeof inet;
  if (bind(listener, address, length) != 0 || listen(listener, 1) != 0) {
    close(listener);
    return -1;
  }
  std::fflush(nullptr);
  pid_t producer = fork();
  if (producer == 0) {
    int fd = socket(unix_domain ? AF_UNIX : AF_INET, SOCK_STREAM, 0);
    if (connect(fd, address, length) != 0) _exit(kExitFailure);
    Unit unit = bench_unit(size);
    for (uint64_t i = 0; i < count; ++i) {
      struct iovec vec[2] = {{unit.header.data(), unit.header.size()}, {unit.body.data(), unit.body.size()}};
      size_t left = unit.length();
      int first = 0;
      while (left > 0) {
        ssize_t n = writev(fd, vec + first, 2 - first);
        if (n <= 0) _exit(kExitFailure);
        left -= static_cast<size_t>(n);
        for (size_t done = static_cast<size_t>(n); done > 0 && first < 2;) {
          size_t step = std::min(done, vec[first].iov_len);
          vec[first].iov_base = static_cast<char*>(vec[first].iov_base) + step;
          vec[first].iov_len -= step;
          done -= step;
          if (vec[first].iov_len == 0) ++first;
        }
      }
    }
    close(fd);
    _exit(kExitOk);
  }
  int fd = accept(listener, nullptr, nullptr);
  auto start = std::chrono::steady_clock::now();
  std::vector<char> sink(kRawReadBytes);
  uint64_t left = static_cast<uint64_t>(bench_unit(size).length()) * count;
  while (left > 0) {
    ssize_t n = read(fd, sink.data(), std::min<uint64_t>(left, sink.size()));
    if (n <= 0) break;
    left -= static_cast<uint64_t>(n);
  }
  double seconds = left == 0 ? seconds_since(start) : -1;
  close(fd);
  close(listener);
  if (unix_domain) unlink(path.c_str());
  int status = 0;
  waitpid(producer, &status, 0);
  return seconds;
}

std::vector<size_t> parse_sizes(const std::string& text) {
  std::vector<size_t> sizes;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) sizes.push_back(std::stoull(item));
  return sizes;
}

double per_second(uint64_t units, double seconds) { return seconds > 0 ? static_cast<double>(units) / seconds : 0; }

}  // namespace

int run_bench(const BenchOptions& options) {
  std::vector<size_t> sizes =
      options.sizes.empty() ? std::vector<size_t>{64, 1024, 65536, 1u << 20, 16u << 20} : parse_sizes(options.sizes);
  if (options.csv)
    std::printf("size_bytes,count,transport,mode,link_units_per_s,link_mb_per_s,raw_units_per_s,raw_mb_per_s,ratio\n");
  else
    std::printf("%10s %8s %-5s %-5s %14s %12s %14s %12s %7s\n", "size [B]", "count", "link", "mode", "DataLink [u/s]",
                "[MB/s]", "raw [u/s]", "[MB/s]", "ratio");
  bool failed = false;
  for (bool unix_domain : {false, true}) {
    for (size_t size : sizes) {
      for (bool ack : {false, true}) {
        uint64_t target = options.quick ? kQuickTargetBytes : kTargetBytes;
        uint64_t count =
            std::clamp<uint64_t>(target / std::max<size_t>(size, 1), kMinUnits, ack ? kMaxAckUnits : kMaxUnits);
        if (options.quick) count = std::min<uint64_t>(count, 2000);
        Row row{size,
                count,
                unix_domain,
                ack,
                time_link(size, count, unix_domain, ack),
                time_raw(size, count, unix_domain)};
        if (row.link_seconds < 0 || row.raw_seconds < 0) failed = true;
        double bytes = static_cast<double>(bench_unit(size).length()) * static_cast<double>(count);
        double link_rate = per_second(count, row.link_seconds);
        double raw_rate = per_second(count, row.raw_seconds);
        double ratio = raw_rate > 0 ? link_rate / raw_rate : 0;
        const char* family = unix_domain ? "unix" : "tcp";
        const char* mode = ack ? "ack" : "noack";
        if (options.csv)
          std::printf("%zu,%llu,%s,%s,%.0f,%.1f,%.0f,%.1f,%.3f\n", bench_unit(size).length(),
                      static_cast<unsigned long long>(count), family, mode, link_rate, link_rate * bytes / count / 1e6,
                      raw_rate, raw_rate * bytes / count / 1e6, ratio);
        else
          std::printf("%10zu %8llu %-5s %-5s %14.0f %12.1f %14.0f %12.1f %7.2f\n", bench_unit(size).length(),
                      static_cast<unsigned long long>(count), family, mode, link_rate, link_rate * bytes / count / 1e6,
                      raw_rate, raw_rate * bytes / count / 1e6, ratio);
        std::fflush(stdout);
      }
    }
  }
  if (failed) fail_line("some rows failed to run");
  return failed ? kExitFailure : kExitOk;
}

}  // namespace dltool
