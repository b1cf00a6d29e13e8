// bench.cpp - "datalink bench": producer-to-collector throughput of the link
// beside baselines that move the same units in the same run:
//
//   datalink       a DataLink producer (calling end) and collector (listener)
//   datalink-conv  the same with a BIGEND_MODE listener: both ends convert
//   raw-stream     one writev per unit; the reader takes up to 1 MiB per read
//                  with no regard for unit boundaries (the transport's limit)
//   raw-proto      exactly the calls the link's protocol needs per unit: the
//                  sender waits and writes with writev; the receiver waits,
//                  reads the pattern a byte at a time, waits and reads the
//                  rest of the header, waits and reads the body
//   zmq            ZeroMQ PAIR, one message per unit (when built with libzmq)
//
// With --ack every unit is acknowledged: datalink in SendEvent_ACK mode,
// raw-ack making the same calls (header, 4-byte answer, body), and zmq as
// REQ/REP. Acknowledged rows run unpinned, with both ends on one core, and
// with the ends on different cores.
//
// The producer is a forked child; the collector times from the arrival of
// the first unit to the last, so connection setup is not counted.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#ifdef DATALINK_BENCH_ZMQ
#include <zmq.h>
#endif

#include "commands.h"
#include "status_name.h"

namespace dltool {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kTargetBytes = 256ull << 20;
constexpr uint64_t kQuickTargetBytes = 4ull << 20;
constexpr uint64_t kMaxUnits = 200000;
constexpr uint64_t kMaxAckUnits = 50000;
constexpr uint64_t kMinUnits = 16;
constexpr uint64_t kQuickMaxUnits = 2000;
constexpr size_t kRawReadBytes = 1u << 20;
constexpr size_t kHeaderBytes = sizeof(vrq5_eventheader);
constexpr size_t kPatternBytes = 4;
constexpr int kAckBytes = 4;
constexpr int kNoCpu = -1;

// Where each end runs: unpinned, both on one core, or on two cores.
struct Pinning {
  const char* name;
  int producer_cpu;
  int collector_cpu;
};
constexpr Pinning kUnpinned{"none", kNoCpu, kNoCpu};
constexpr Pinning kSameCore{"same", 0, 0};
constexpr Pinning kSplitCores{"split", 0, 1};

struct Case {
  std::string impl;
  size_t size;  // whole unit, header included
  uint64_t count;
  bool unix_domain;
  int sockbuf;
  Pinning pin;
};

// The unit every row sends: a 36-byte event header and its body.
Unit bench_unit(size_t size) { return make_unit(Kind::Event, 1, size > kHeaderBytes ? size - kHeaderBytes : 0); }

void pin_to(int cpu) {
  if (cpu == kNoCpu) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

void unpin() {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

void set_buffers(int fd, int bytes) {
  if (bytes <= 0) return;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

// Runs the producer in a child pinned as asked; the collector runs here and
// returns the seconds from the first unit to the last, or -1.
double run_pair(const Case& c, const std::function<void()>& producer, const std::function<double()>& collector) {
  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    pin_to(c.pin.producer_cpu);
    producer();
    _exit(kExitOk);
  }
  pin_to(c.pin.collector_cpu);
  double seconds = collector();
  unpin();
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

// ---- DataLink ----

double time_link(const Case& c, bool bigend, bool ack) {
  LinkOptions options;
  options.port = free_port();
  options.unix_domain = c.unix_domain;
  options.bigend = bigend;
  auto listener = open_listener(options);
  if (!listener) return -1;
  listener->set_socket_buffer(c.sockbuf);
  auto producer = [&] {
    select_family(c.unix_domain);
    DataLink link(NATIVE_MODE);
    link.set_socket_buffer(c.sockbuf);
    int status;
    {
      QuietOutput quiet;
      status = link.Connect(options.host.c_str(), options.port);
    }
    if (status != DL_OK) _exit(kExitFailure);
    Unit unit = bench_unit(c.size);
    for (uint64_t i = 0; i < c.count; ++i)
      if (send_unit(link, unit, ack) != DL_OK) _exit(kExitFailure);
    close_link(link);
  };
  auto collector = [&]() -> double {
    RNG_RingBuffer ring(c.size * 2 + 4096);
    {
      QuietOutput quiet;
      if (listener->Connect(true) != DL_OK) return -1;
    }
    Clock::time_point start;
    for (uint64_t received = 0; received < c.count; ++received) {
      if (listener->ReceiveEvent(ack ? &ring : nullptr, -1, -1, -1) != DL_OK) return -1;
      if (received == 0) start = Clock::now();
    }
    return seconds_since(start);
  };
  double seconds = run_pair(c, producer, collector);
  close_link(*listener);
  return seconds;
}

// ---- raw sockets ----

struct RawEndpoint {
  sockaddr_storage address{};
  socklen_t length = 0;
  std::string path;
  int family = AF_INET;
};

RawEndpoint raw_endpoint(bool unix_domain) {
  RawEndpoint end;
  int port = free_port();
  if (unix_domain) {
    end.family = AF_UNIX;
    end.path = "/tmp/" + std::to_string(port) + ".raw";
    auto* local = reinterpret_cast<sockaddr_un*>(&end.address);
    local->sun_family = AF_UNIX;
    std::snprintf(local->sun_path, sizeof local->sun_path, "%s", end.path.c_str());
    end.length = sizeof(sockaddr_un);
    unlink(end.path.c_str());
  } else {
    auto* inet = reinterpret_cast<sockaddr_in*>(&end.address);
    inet->sin_family = AF_INET;
    inet->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    inet->sin_port = htons(static_cast<uint16_t>(port));
    end.length = sizeof(sockaddr_in);
  }
  return end;
}

void no_delay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool wait_fd(int fd, bool for_write) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fd, &set);
  return select(fd + 1, for_write ? nullptr : &set, for_write ? &set : nullptr, nullptr, nullptr) > 0;
}

// A writev that may stop anywhere: advances the list past n bytes.
void advance(struct iovec*& vec, int& count, size_t n) {
  while (count > 0 && n >= vec->iov_len) {
    n -= vec->iov_len;
    ++vec;
    --count;
  }
  if (count > 0) {
    vec->iov_base = static_cast<char*>(vec->iov_base) + n;
    vec->iov_len -= n;
  }
}

bool wait_and_writev(int fd, struct iovec* vec, int count) {
  while (count > 0) {
    if (!wait_fd(fd, true)) return false;
    ssize_t n = writev(fd, vec, count);
    if (n < 0 && errno == EAGAIN) continue;
    if (n <= 0) return false;
    advance(vec, count, static_cast<size_t>(n));
  }
  return true;
}

// Waits, then reads exactly count bytes, waiting again before each read that
// a short read leaves.
bool wait_and_read(int fd, char* dst, size_t count) {
  size_t done = 0;
  while (done < count) {
    if (!wait_fd(fd, false)) return false;
    ssize_t n = read(fd, dst + done, count - done);
    if (n < 0 && errno == EAGAIN) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// One unit as the link's receiver reads it: a wait, the pattern byte by
// byte, a wait and the rest of the header, a wait and the body.
bool read_unit_protocol_shaped(int fd, char* block, size_t size, int ack_fd_or_minus) {
  if (!wait_fd(fd, false)) return false;
  for (size_t i = 0; i < kPatternBytes; ++i)
    if (read(fd, block + i, 1) != 1) return false;
  if (!wait_and_read(fd, block + kPatternBytes, kHeaderBytes - kPatternBytes)) return false;
  if (ack_fd_or_minus >= 0) {
    int32_t ack = 0;
    if (write(fd, &ack, kAckBytes) != kAckBytes) return false;
  }
  return size <= kHeaderBytes || wait_and_read(fd, block + kHeaderBytes, size - kHeaderBytes);
}

enum class RawShape { Stream, Protocol, Ack };

double time_raw(const Case& c, RawShape shape) {
  RawEndpoint end = raw_endpoint(c.unix_domain);
  int listener = socket(end.family, SOCK_STREAM, 0);
  int reuse = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  if (bind(listener, reinterpret_cast<sockaddr*>(&end.address), end.length) != 0 || listen(listener, 1) != 0) {
    close(listener);
    return -1;
  }
  auto producer = [&] {
    int fd = socket(end.family, SOCK_STREAM, 0);
    set_buffers(fd, c.sockbuf);
    if (connect(fd, reinterpret_cast<sockaddr*>(&end.address), end.length) != 0) _exit(kExitFailure);
    if (!c.unix_domain) no_delay(fd);
    Unit unit = bench_unit(c.size);
    for (uint64_t i = 0; i < c.count; ++i) {
      if (shape == RawShape::Ack) {
        struct iovec head {
          unit.header.data(), unit.header.size()
        };
        int32_t ack = -1;
        if (!wait_and_writev(fd, &head, 1)) _exit(kExitFailure);
        if (!wait_and_read(fd, reinterpret_cast<char*>(&ack), kAckBytes) || ack != 0) _exit(kExitFailure);
        struct iovec body {
          unit.body.data(), unit.body.size()
        };
        if (!unit.body.empty() && !wait_and_writev(fd, &body, 1)) _exit(kExitFailure);
        continue;
      }
      struct iovec vec[2] = {{unit.header.data(), unit.header.size()}, {unit.body.data(), unit.body.size()}};
      if (!wait_and_writev(fd, vec, 2)) _exit(kExitFailure);
    }
    close(fd);
  };
  auto collector = [&]() -> double {
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return -1;
    set_buffers(fd, c.sockbuf);
    if (!c.unix_domain) no_delay(fd);
    Clock::time_point start;
    bool ok = true;
    if (shape == RawShape::Stream) {
      std::vector<char> sink(kRawReadBytes);
      uint64_t left = static_cast<uint64_t>(c.size) * c.count;
      bool first = true;
      while (left > 0) {
        ssize_t n = read(fd, sink.data(), std::min<uint64_t>(left, sink.size()));
        if (n <= 0) break;
        left -= static_cast<uint64_t>(n);
        if (first && left <= static_cast<uint64_t>(c.size) * (c.count - 1)) {
          start = Clock::now();
          first = false;
        }
      }
      ok = left == 0;
    } else {
      // Like the link's collector: non-blocking socket, one block buffer.
      fcntl(fd, F_SETFL, O_NONBLOCK);
      std::vector<char> block(c.size);
      for (uint64_t i = 0; i < c.count && ok; ++i) {
        ok = read_unit_protocol_shaped(fd, block.data(), c.size, shape == RawShape::Ack ? fd : -1);
        if (i == 0) start = Clock::now();
      }
    }
    double seconds = ok ? seconds_since(start) : -1;
    close(fd);
    return seconds;
  };
  double seconds = run_pair(c, producer, collector);
  close(listener);
  if (c.unix_domain) unlink(end.path.c_str());
  return seconds;
}

// ---- ZeroMQ ----

#ifdef DATALINK_BENCH_ZMQ
std::string zmq_address(bool unix_domain) {
  int port = free_port();
  return unix_domain ? "ipc:///tmp/" + std::to_string(port) + ".zmq" : "tcp://127.0.0.1:" + std::to_string(port);
}

void zmq_buffers(void* socket, int bytes) {
  if (bytes <= 0) return;
  zmq_setsockopt(socket, ZMQ_SNDBUF, &bytes, sizeof bytes);
  zmq_setsockopt(socket, ZMQ_RCVBUF, &bytes, sizeof bytes);
}

// PAIR without acknowledgement, REQ/REP with: the request carries the unit,
// the reply is 4 bytes.
double time_zmq(const Case& c, bool ack) {
  std::string address = zmq_address(c.unix_domain);
  auto producer = [&] {
    void* context = zmq_ctx_new();
    void* socket = zmq_socket(context, ack ? ZMQ_REQ : ZMQ_PAIR);
    zmq_buffers(socket, c.sockbuf);
    if (zmq_connect(socket, address.c_str()) != 0) _exit(kExitFailure);
    std::vector<char> bytes = bench_unit(c.size).bytes();
    char reply[kAckBytes];
    for (uint64_t i = 0; i < c.count; ++i) {
      if (zmq_send(socket, bytes.data(), bytes.size(), 0) < 0) _exit(kExitFailure);
      if (ack && zmq_recv(socket, reply, sizeof reply, 0) != kAckBytes) _exit(kExitFailure);
    }
    // PAIR: wait for the collector's word that all arrived before closing.
    if (!ack) zmq_recv(socket, reply, sizeof reply, 0);
    zmq_close(socket);
    zmq_ctx_term(context);
  };
  auto collector = [&]() -> double {
    void* context = zmq_ctx_new();
    void* socket = zmq_socket(context, ack ? ZMQ_REP : ZMQ_PAIR);
    zmq_buffers(socket, c.sockbuf);
    if (zmq_bind(socket, address.c_str()) != 0) return -1;
    Clock::time_point start;
    bool ok = true;
    const int32_t answer = 0;
    for (uint64_t i = 0; i < c.count && ok; ++i) {
      zmq_msg_t message;
      zmq_msg_init(&message);
      ok = zmq_msg_recv(&message, socket, 0) == static_cast<int>(c.size);
      zmq_msg_close(&message);
      if (ack && ok) ok = zmq_send(socket, &answer, sizeof answer, 0) == kAckBytes;
      if (i == 0) start = Clock::now();
    }
    double seconds = ok ? seconds_since(start) : -1;
    if (!ack) zmq_send(socket, &answer, sizeof answer, 0);
    int linger = 0;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(socket);
    zmq_ctx_term(context);
    return seconds;
  };
  double seconds = run_pair(c, producer, collector);
  if (c.unix_domain) unlink(address.substr(std::strlen("ipc://")).c_str());
  return seconds;
}
#endif

bool zmq_built() {
#ifdef DATALINK_BENCH_ZMQ
  return true;
#else
  return false;
#endif
}

double time_case(const Case& c) {
  if (c.impl == "datalink") return time_link(c, false, false);
  if (c.impl == "datalink-conv") return time_link(c, true, false);
  if (c.impl == "datalink-ack") return time_link(c, false, true);
  if (c.impl == "raw-stream") return time_raw(c, RawShape::Stream);
  if (c.impl == "raw-proto") return time_raw(c, RawShape::Protocol);
  if (c.impl == "raw-ack") return time_raw(c, RawShape::Ack);
#ifdef DATALINK_BENCH_ZMQ
  if (c.impl == "zmq") return time_zmq(c, false);
  if (c.impl == "zmq-reqrep") return time_zmq(c, true);
#endif
  return -1;
}

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) items.push_back(item);
  return items;
}

uint64_t units_for(size_t size, bool ack, bool quick, uint64_t fixed) {
  if (fixed > 0) return fixed;
  uint64_t target = quick ? kQuickTargetBytes : kTargetBytes;
  uint64_t count = std::clamp<uint64_t>(target / std::max<size_t>(size, 1), kMinUnits, ack ? kMaxAckUnits : kMaxUnits);
  return quick ? std::min(count, kQuickMaxUnits) : count;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? -1 : values[values.size() / 2];
}

long resident_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// The collector's resident memory while it takes `count` units of `size`
// bytes (and, with alternate, every other unit 1 KiB): flat means one block
// plus a constant.
int run_memory(const BenchOptions& options) {
  const uint64_t count = options.count > 0 ? options.count : 100000;
  std::printf("size_bytes,transport,units,alternate,rss_kib_after_1pct,rss_kib_after_50pct,rss_kib_at_end\n");
  for (bool alternate : {false, true}) {
    for (const std::string& size_text : split(options.sizes.empty() ? "65536" : options.sizes)) {
      const size_t size = std::stoull(size_text);
      LinkOptions link_options;
      link_options.port = free_port();
      link_options.unix_domain = options.transports == "unix";
      auto listener = open_listener(link_options);
      if (!listener) return kExitFailure;
      Case c{"datalink", size, count, link_options.unix_domain, 0, kUnpinned};
      long samples[3] = {-1, -1, -1};
      auto producer = [&] {
        auto link = open_caller(link_options);
        if (!link) _exit(kExitFailure);
        Unit big = bench_unit(size);
        Unit small = bench_unit(1024);
        for (uint64_t i = 0; i < count; ++i)
          if (send_unit(*link, alternate && i % 2 ? small : big, false) != DL_OK) _exit(kExitFailure);
        close_link(*link);
      };
      auto collector = [&]() -> double {
        {
          QuietOutput quiet;
          if (listener->Connect(true) != DL_OK) return -1;
        }
        for (uint64_t i = 1; i <= count; ++i) {
          if (listener->ReceiveEvent(nullptr, -1, -1, -1) != DL_OK) return -1;
          if (i == count / 100) samples[0] = resident_kib();
          if (i == count / 2) samples[1] = resident_kib();
        }
        samples[2] = resident_kib();
        return 1;
      };
      double ok = run_pair(c, producer, collector);
      close_link(*listener);
      std::printf("%zu,%s,%llu,%s,%ld,%ld,%ld\n", size, link_options.unix_domain ? "unix" : "tcp",
                  static_cast<unsigned long long>(count), alternate ? "1024" : "none", samples[0], samples[1],
                  samples[2]);
      std::fflush(stdout);
      if (ok < 0) return kExitFailure;
    }
  }
  return kExitOk;
}

}  // namespace

int run_bench(const BenchOptions& options) {
  if (options.memory) return run_memory(options);
  const std::vector<std::string> sizes =
      split(options.sizes.empty() ? "64,1024,65536,1048576,16777216" : options.sizes);
  std::vector<std::string> impls =
      split(options.impls.empty()
                ? (options.ack ? "datalink-ack,raw-ack,zmq-reqrep" : "datalink,raw-stream,raw-proto,zmq,datalink-conv")
                : options.impls);
  if (!zmq_built())
    impls.erase(std::remove_if(impls.begin(), impls.end(), [](const std::string& i) { return i.rfind("zmq", 0) == 0; }),
                impls.end());
  std::vector<Pinning> pins = {kUnpinned};
  if (options.ack && options.pin) pins = {kUnpinned, kSameCore, kSplitCores};
  const int runs = std::max(1, options.runs);

  if (options.csv)
    std::printf("size_bytes,transport,impl,pin,sockbuf,count,units_per_s,mb_per_s\n");
  else
    std::printf("%10s %-5s %-14s %-5s %8s %8s %14s %10s\n", "size [B]", "link", "impl", "pin", "sockbuf", "count",
                "units/s", "MB/s");
  bool failed = false;
  for (const std::string& transport : split(options.transports)) {
    for (const std::string& size_text : sizes) {
      const size_t size = std::max<size_t>(std::stoull(size_text), kHeaderBytes);
      for (const Pinning& pin : pins) {
        for (const std::string& impl : impls) {
          const bool ack = impl == "datalink-ack" || impl == "raw-ack" || impl == "zmq-reqrep";
          Case c{impl, size, units_for(size, ack, options.quick, options.count), transport == "unix", options.sockbuf,
                 pin};
          std::vector<double> rates;
          for (int run = 0; run < runs; ++run) {
            double seconds = time_case(c);
            // The first unit starts the clock, so count - 1 units are timed.
            rates.push_back(seconds > 0 ? static_cast<double>(c.count - 1) / seconds : 0);
            if (seconds <= 0) failed = true;
          }
          const double rate = median(rates);
          const double mbps = rate * static_cast<double>(size) / 1e6;
          if (options.csv)
            std::printf("%zu,%s,%s,%s,%d,%llu,%.0f,%.1f\n", size, transport.c_str(), impl.c_str(), pin.name,
                        options.sockbuf, static_cast<unsigned long long>(c.count), rate, mbps);
          else
            std::printf("%10zu %-5s %-14s %-5s %8d %8llu %14.0f %10.1f\n", size, transport.c_str(), impl.c_str(),
                        pin.name, options.sockbuf, static_cast<unsigned long long>(c.count), rate, mbps);
          std::fflush(stdout);
        }
      }
    }
  }
  if (failed) fail_line("some rows failed to run");
  return failed ? kExitFailure : kExitOk;
}

}  // namespace dltool
