// bench_end_to_end.cpp - what a unit costs from a DataLink producer to a
// DataLink collector: units of 64 B to 16 MiB, with and without the
// acknowledgement, over loopback TCP and a UNIX-domain socket, with both ends
// native or both converting. Beside each case a raw socket pair moves the
// same units (writev of header and body; the reader takes the header, then
// exactly the body it announces) over the same kind of socket.
//
// The producer is a thread of this process: every unit is a 2010 event, so
// both ends set the process-wide data-format switch alike.
//
// Usage: bench_end_to_end [seconds per case, default 0.4]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "DataLink.h"

namespace {

using Clock = std::chrono::steady_clock;

double g_seconds_per_case = 0.4;
constexpr int kWaitSeconds = 10;  // one wait of the collector before it gives up on a silent producer
constexpr unsigned long kRingSlackBytes = 1ul << 20;

std::string unix_path(int port) { return "/tmp/" + std::to_string(port) + ".tcp"; }

int free_port() {
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    int port = ntohs(address.sin_port);
    if (access(unix_path(port).c_str(), F_OK) != 0) return port;
  }
}

void select_family(bool unix_domain) {
  if (unix_domain)
    setenv("VRQ5_DATA_LINK_SOCK_TYPE", "UNIX", 1);
  else
    unsetenv("VRQ5_DATA_LINK_SOCK_TYPE");
}

// Sends standard output and standard error to /dev/null while it lives.
class Silence {
 public:
  Silence() {
    std::fflush(nullptr);
    int null = open("/dev/null", O_WRONLY);
    for (int fd : {1, 2}) {
      saved_[fd - 1] = dup(fd);
      dup2(null, fd);
    }
    close(null);
  }
  ~Silence() {
    std::fflush(nullptr);
    for (int fd : {1, 2}) {
      dup2(saved_[fd - 1], fd);
      close(saved_[fd - 1]);
    }
  }

 private:
  int saved_[2];
};

// One unit: a 36-byte header and one body element. The last unit of a case
// is an end-of-run event with no body.
struct Unit {
  vrq5_eventheader header{};
  std::vector<char> body;
  Unit(size_t size, VRQ5_EVTYPE type) : body(size - sizeof header, 'b') {
    header.pattern = VRQ5_PATTERN_EVENT_2010;
    header.event_length = static_cast<uint32_t>(size);
    header.event_type = type;
  }
  // Built afresh per send: the sender may advance the elements.
  int fill(struct iovec* iov) {
    iov[0] = {&header, sizeof header};
    iov[1] = {body.data(), body.size()};
    return body.empty() ? 1 : 2;
  }
};

struct Figures {
  double events_per_s = 0;
  double mb_per_s = 0;
  bool ok = false;
};

// Counts units from the first one on until the case's time is up, then tells
// the producer to stop and takes what is still on its way without counting.
class Meter {
 public:
  explicit Meter(size_t unit_size) : unit_size_(unit_size) {}
  // Returns true once the producer should stop.
  bool count() {
    if (stopped_) return true;
    if (units_++ == 0) start_ = Clock::now();
    elapsed_ = std::chrono::duration<double>(Clock::now() - start_).count();
    stopped_ = units_ > 1 && elapsed_ >= g_seconds_per_case;
    return stopped_;
  }
  Figures figures(bool ok) const {
    const double timed = static_cast<double>(units_ - 1);  // the first unit starts the clock
    if (!ok || elapsed_ <= 0) return Figures{};
    return Figures{timed / elapsed_, timed * static_cast<double>(unit_size_) / elapsed_ / 1e6, true};
  }

 private:
  size_t unit_size_;
  long units_ = 0;
  bool stopped_ = false;
  double elapsed_ = 0;
  Clock::time_point start_;
};

Figures run_link(bool unix_domain, bool converting, bool ack, size_t unit_size) {
  const int port = free_port();
  select_family(unix_domain);
  DataLink collector(converting ? BIGEND_MODE : NATIVE_MODE);
  if (collector.SocketSetup(port) != DL_OK) return Figures{};

  std::atomic<bool> stop{false};
  std::atomic<bool> producer_done{false};
  std::thread producer([&] {
    DataLink link(0);
    link.SetRetry(100);
    if (link.Connect("localhost", port) == DL_OK) {
      Unit unit(unit_size, VRQ5_EV_NORMAL);
      Unit end(sizeof(vrq5_eventheader), VRQ5_EV_EOR);
      struct iovec iov[2];
      const int mode = ack ? SendEvent_ACK : SendEvent_NOACK;
      bool sending = true;
      while (sending && !stop.load()) sending = link.SendEvent(iov, unit.fill(iov), mode) == DL_OK;
      if (sending) link.SendEvent(iov, end.fill(iov), mode);
      link.Disconnect();
      link.SocketRelease();
    }
    producer_done = true;
  });

  bool ok = collector.Connect(true) == DL_OK;
  RNG_RingBuffer ring(unit_size + kRingSlackBytes);  // always room: only the check is measured
  Meter meter(unit_size);
  while (ok) {
    int status = collector.ReceiveEvent(ack ? &ring : nullptr, 1, kWaitSeconds, 0);
    if (status == DL_ERR_TIMEOUT || status == DL_ERR_SCAN_WOULD_BLOCK) {
      ok = !producer_done.load();
      continue;
    }
    ok = status == DL_OK;
    if (!ok || collector.get_event_type() == VRQ5_EV_EOR) break;
    if (meter.count()) stop = true;
  }
  stop = true;
  producer.join();
  collector.SocketRelease();
  unsetenv("VRQ5_DATA_LINK_SOCK_TYPE");
  unlink(unix_path(port).c_str());
  return meter.figures(ok);
}

bool read_exactly(int fd, char* dst, size_t count) {
  while (count > 0) {
    ssize_t n = read(fd, dst, count);
    if (n <= 0) return false;
    dst += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool writev_all(int fd, struct iovec* iov, int count) {
  while (count > 0) {
    ssize_t n = writev(fd, iov, count);
    if (n < 0) return false;
    while (count > 0 && static_cast<size_t>(n) >= iov->iov_len) {
      n -= static_cast<ssize_t>(iov->iov_len);
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + n;
      iov->iov_len -= static_cast<size_t>(n);
    }
  }
  return true;
}

// The same units over a bare blocking socket pair of the same family.
Figures run_raw(bool unix_domain, size_t unit_size) {
  int pair[2] = {-1, -1};
  int listener = -1;
  if (unix_domain) {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return Figures{};
  } else {
    const int port = free_port();
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    pair[0] = socket(AF_INET, SOCK_STREAM, 0);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
        connect(pair[0], reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(listener);
      close(pair[0]);
      return Figures{};
    }
    pair[1] = accept(listener, nullptr, nullptr);
    int one = 1;
    setsockopt(pair[1], IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    Unit unit(unit_size, VRQ5_EV_NORMAL);
    Unit end(sizeof(vrq5_eventheader), VRQ5_EV_EOR);
    struct iovec iov[2];
    bool sending = true;
    while (sending && !stop.load()) sending = writev_all(pair[1], iov, unit.fill(iov));
    if (sending) writev_all(pair[1], iov, end.fill(iov));
    shutdown(pair[1], SHUT_WR);
  });
  std::vector<char> block(unit_size);
  Meter meter(unit_size);
  bool ok = true;
  for (;;) {
    vrq5_eventheader header;
    ok = read_exactly(pair[0], reinterpret_cast<char*>(&header), sizeof header) &&
         read_exactly(pair[0], block.data(), header.event_length - sizeof header);
    if (!ok || header.event_type == VRQ5_EV_EOR) break;
    if (meter.count()) stop = true;
  }
  stop = true;
  writer.join();
  close(pair[0]);
  close(pair[1]);
  if (listener >= 0) close(listener);
  return meter.figures(ok);
}

std::string size_name(size_t size) {
  if (size >= (1u << 20)) return std::to_string(size >> 20) + " MiB";
  if (size >= (1u << 10)) return std::to_string(size >> 10) + " KiB";
  return std::to_string(size) + " B";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) g_seconds_per_case = std::atof(argv[1]);
  const size_t unit_sizes[] = {64, 1u << 10, 64u << 10, 1u << 20, 16u << 20};
  std::printf("%-5s %7s  %-10s %-5s %11s %9s   %11s %9s   %6s\n", "link", "unit", "ends", "ack", "events/s", "MB/s",
              "raw ev/s", "MB/s", "ratio");
  std::fflush(stdout);
  for (bool unix_domain : {false, true}) {
    for (size_t unit_size : unit_sizes) {
      const Figures raw = run_raw(unix_domain, unit_size);
      for (bool converting : {false, true}) {
        for (bool ack : {false, true}) {
          Figures got;
          {
            Silence quiet;  // the link's own setup lines stay out of the table
            got = run_link(unix_domain, converting, ack, unit_size);
          }
          std::printf("%-5s %7s  %-10s %-5s %11.0f %9.1f   %11.0f %9.1f   %6.2f%s\n", unix_domain ? "unix" : "tcp",
                      size_name(unit_size).c_str(), converting ? "converting" : "native", ack ? "ack" : "noack",
                      got.events_per_s, got.mb_per_s, raw.events_per_s, raw.mb_per_s,
                      raw.mb_per_s > 0 ? got.mb_per_s / raw.mb_per_s : 0.0, got.ok && raw.ok ? "" : "  FAILED");
          std::fflush(stdout);
        }
      }
    }
  }
  return 0;
}
