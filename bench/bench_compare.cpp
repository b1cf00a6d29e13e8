// bench_compare.cpp - producer-to-collector throughput of the link beside
// baselines that move the same units in the same run; compare.sh runs it.
//
//   datalink       a DataLink producer (calling end) and collector (listener)
//   datalink-conv  the same with a BIGEND_MODE listener: both ends convert
//   datalink-batch the datalink row with SendEvents, kBatchUnits units a call
//   raw-stream  one writev per unit; the reader takes up to 1 MiB per read
//               with no regard for unit boundaries (the transport's limit)
//   raw-proto   exactly the calls the link's protocol needs per unit: the
//               sender waits and writes with writev; the receiver waits,
//               reads the pattern a byte at a time, waits and reads the
//               rest of the header, waits and reads the body
//   zmq         ZeroMQ PAIR, one message per unit (when built with libzmq)
//
// With --ack every unit is acknowledged: datalink-ack in SendEvent_ACK mode,
// raw-ack making the same calls (header, 4-byte answer, body), and zmq-reqrep
// as REQ/REP. Acknowledged rows run unpinned, with both ends on one core, and
// with the ends on different cores. --memory prints the collector's resident
// memory instead.
//
// `datalink bench` is the user's own, simpler check of the link's rows.
//
// The producer is a forked child; the collector times from the arrival of
// the first unit to the last, so connection setup is not counted.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#ifdef DATALINK_BENCH_ZMQ
#include <zmq.h>
#endif

#include "test_support.h"

namespace {

using namespace testsupport;
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
constexpr uint64_t kBatchUnits = 64;

struct Options {
  bool csv = false;
  bool quick = false;
  std::string sizes = "64,1024,65536,1048576,16777216";
  std::string impls;
  std::string transports = "tcp,unix";
  bool ack = false;
  bool pin = false;
  int runs = 1;
  int sockbuf = 0;
  uint64_t count = 0;
  bool memory = false;
};

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
Bytes bench_unit(size_t size) { return event36(VRQ5_PATTERN_EVENT, 1, size - kHeaderBytes, false); }

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

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Runs the producer in a child pinned as asked; the collector runs here and
// returns the seconds from the first unit to the last, or -1.
double run_pair(const Case& c, const std::function<void()>& producer, const std::function<double()>& collector) {
  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    pin_to(c.pin.producer_cpu);
    producer();
    _exit(0);
  }
  pin_to(c.pin.collector_cpu);
  double seconds = collector();
  unpin();
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

// ---- DataLink ----

// A listener set up on port; nullptr when the port cannot be used.
std::unique_ptr<DataLink> listener_on(int port, bool unix_domain, bool bigend) {
  auto link = std::make_unique<DataLink>(bigend ? BIGEND_MODE : NATIVE_MODE);
  SockTypeScope family(unix_domain ? "UNIX" : nullptr, -1);
  Quiet quiet;
  if (link->SocketSetup(port) != DL_OK) return nullptr;
  return link;
}

void release(DataLink& link, int port) {
  Quiet quiet;
  if (link.IsLinkActive()) link.Disconnect();
  link.SocketRelease();
  unlink(unix_path(port).c_str());
}

// In the producer's process: connects and sends unit_of(i) for every i below
// count, batch units per SendEvents call when batch > 1, or exits with 1.
void produce_link(const Case& c, int port, const std::function<const Bytes&(uint64_t)>& unit_of, bool ack,
                  uint64_t batch = 1) {
  DataLink link(NATIVE_MODE);
  link.set_socket_buffer(c.sockbuf);
  {
    SockTypeScope family(c.unix_domain ? "UNIX" : nullptr, -1);
    Quiet quiet;
    if (link.Connect("localhost", port) != DL_OK) _exit(1);
  }
  std::vector<struct iovec> list;
  for (uint64_t i = 0; batch > 1 && i < c.count; i += batch) {
    list.clear();
    for (uint64_t k = i; k < std::min(c.count, i + batch); ++k) {
      char* header = reinterpret_cast<char*>(const_cast<uint8_t*>(unit_of(k).data()));
      list.push_back({header, kHeaderBytes});
      list.push_back({header + kHeaderBytes, unit_of(k).size() - kHeaderBytes});
    }
    int sent = 0;
    const int rc =
        link.SendEvents(list.data(), static_cast<int>(list.size()), ack ? SendEvent_ACK : SendEvent_NOACK, &sent);
    if (rc != DL_OK || static_cast<size_t>(sent) * 2 != list.size()) _exit(1);
  }
  for (uint64_t i = 0; batch <= 1 && i < c.count; ++i) {
    // SendEvent may advance the elements, never the bytes themselves.
    char* header = reinterpret_cast<char*>(const_cast<uint8_t*>(unit_of(i).data()));
    struct iovec vec[2] = {{header, kHeaderBytes}, {header + kHeaderBytes, unit_of(i).size() - kHeaderBytes}};
    if (link.SendEvent(vec, 2, ack ? SendEvent_ACK : SendEvent_NOACK) != DL_OK) _exit(1);
  }
  release(link, port);
}

// Accepts the producer and receives count units; runs each_unit(n) after the
// n-th (1-based) unit. False on any failure.
bool collect_link(const Case& c, DataLink& listener, bool ack, const std::function<void(uint64_t)>& each_unit) {
  // The ring only answers the acknowledgement from its free space.
  std::unique_ptr<RNG_RingBuffer> ring(ack ? new RNG_RingBuffer(c.size * 2 + 4096) : nullptr);
  {
    Quiet quiet;
    if (listener.Connect(true) != DL_OK) return false;
  }
  for (uint64_t received = 1; received <= c.count; ++received) {
    if (listener.ReceiveEvent(ring.get(), -1, -1, -1) != DL_OK) return false;
    each_unit(received);
  }
  return true;
}

double time_link(const Case& c, bool bigend, bool ack, uint64_t batch = 1) {
  const int port = free_port();
  auto listener = listener_on(port, c.unix_domain, bigend);
  if (!listener) return -1;
  listener->set_socket_buffer(c.sockbuf);
  const Bytes unit = bench_unit(c.size);
  Clock::time_point start;
  double seconds = run_pair(
      c,
      [&] {
        produce_link(
            c, port, [&](uint64_t) -> const Bytes& { return unit; }, ack, batch);
      },
      [&]() -> double {
        auto first_starts_clock = [&](uint64_t n) {
          if (n == 1) start = Clock::now();
        };
        return collect_link(c, *listener, ack, first_starts_clock) ? seconds_since(start) : -1;
      });
  release(*listener, port);
  return seconds;
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
bool print_memory(size_t size, bool unix_domain, uint64_t count, bool alternate) {
  const int port = free_port();
  auto listener = listener_on(port, unix_domain, false);
  if (!listener) return false;
  const Case c{"datalink", size, count, unix_domain, 0, kUnpinned};
  const Bytes big = bench_unit(size);
  const Bytes small = bench_unit(1024);
  long samples[3] = {-1, -1, -1};
  auto sample = [&](uint64_t n) {
    if (n == count / 100) samples[0] = resident_kib();
    if (n == count / 2) samples[1] = resident_kib();
    if (n == count) samples[2] = resident_kib();
  };
  double ok = run_pair(
      c,
      [&] {
        produce_link(
            c, port, [&](uint64_t i) -> const Bytes& { return alternate && i % 2 ? small : big; }, false);
      },
      [&]() -> double { return collect_link(c, *listener, false, sample) ? 1 : -1; });
  release(*listener, port);
  std::printf("%zu,%s,%llu,%s,%ld,%ld,%ld\n", size, unix_domain ? "unix" : "tcp",
              static_cast<unsigned long long>(count), alternate ? "1024" : "none", samples[0], samples[1], samples[2]);
  std::fflush(stdout);
  return ok > 0;
}

// ---- raw sockets ----

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
bool read_unit_protocol_shaped(int fd, char* block, size_t size, bool ack) {
  if (!wait_fd(fd, false)) return false;
  for (size_t i = 0; i < kPatternBytes; ++i)
    if (read(fd, block + i, 1) != 1) return false;
  if (!wait_and_read(fd, block + kPatternBytes, kHeaderBytes - kPatternBytes)) return false;
  if (ack) {
    int32_t answer = 0;
    if (write(fd, &answer, kAckBytes) != kAckBytes) return false;
  }
  return size <= kHeaderBytes || wait_and_read(fd, block + kHeaderBytes, size - kHeaderBytes);
}

enum class RawShape { Stream, Protocol, Ack };

// Sends count units: header and body in one writev, or with --ack the header,
// the collector's answer, then the body.
void produce_raw(const Case& c, RawShape shape, int port) {
  int fd = raw_connect(port, c.unix_domain);
  if (fd < 0) _exit(1);
  set_buffers(fd, c.sockbuf);
  if (!c.unix_domain) no_delay(fd);
  Bytes unit = bench_unit(c.size);
  char* header = reinterpret_cast<char*>(unit.data());
  for (uint64_t i = 0; i < c.count; ++i) {
    struct iovec vec[2] = {{header, kHeaderBytes}, {header + kHeaderBytes, c.size - kHeaderBytes}};
    if (shape != RawShape::Ack) {
      if (!wait_and_writev(fd, vec, 2)) _exit(1);
      continue;
    }
    int32_t answer = -1;
    if (!wait_and_writev(fd, vec, 1)) _exit(1);
    if (!wait_and_read(fd, reinterpret_cast<char*>(&answer), kAckBytes) || answer != 0) _exit(1);
    if (vec[1].iov_len > 0 && !wait_and_writev(fd, vec + 1, 1)) _exit(1);
  }
  close(fd);
}

double collect_raw(const Case& c, RawShape shape, int listener) {
  int fd = raw_accept(listener);
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
      ok = read_unit_protocol_shaped(fd, block.data(), c.size, shape == RawShape::Ack);
      if (i == 0) start = Clock::now();
    }
  }
  close(fd);
  return ok ? seconds_since(start) : -1;
}

double time_raw(const Case& c, RawShape shape) {
  const int port = free_port();
  int listener = raw_listen(port, c.unix_domain);
  if (listener < 0) return -1;
  double seconds = run_pair(
      c, [&] { produce_raw(c, shape, port); }, [&] { return collect_raw(c, shape, listener); });
  close_fd(listener);
  if (c.unix_domain) unlink(unix_path(port).c_str());
  return seconds;
}

// ---- ZeroMQ ----

#ifdef DATALINK_BENCH_ZMQ
std::string zmq_address(bool unix_domain) {
  int port = free_port();
  return unix_domain ? "ipc://" + unix_path(port) : "tcp://127.0.0.1:" + std::to_string(port);
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
    if (zmq_connect(socket, address.c_str()) != 0) _exit(1);
    Bytes bytes = bench_unit(c.size);
    char reply[kAckBytes];
    for (uint64_t i = 0; i < c.count; ++i) {
      if (zmq_send(socket, bytes.data(), bytes.size(), 0) < 0) _exit(1);
      if (ack && zmq_recv(socket, reply, sizeof reply, 0) != kAckBytes) _exit(1);
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

double time_case(const Case& c) {
  if (c.impl == "datalink") return time_link(c, false, false);
  if (c.impl == "datalink-conv") return time_link(c, true, false);
  if (c.impl == "datalink-ack") return time_link(c, false, true);
  if (c.impl == "datalink-batch") return time_link(c, false, false, kBatchUnits);
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

uint64_t units_for(size_t size, bool ack, const Options& options) {
  if (options.count > 0) return options.count;
  uint64_t target = options.quick ? kQuickTargetBytes : kTargetBytes;
  uint64_t count = std::clamp<uint64_t>(target / size, kMinUnits, ack ? kMaxAckUnits : kMaxUnits);
  return options.quick ? std::min(count, kQuickMaxUnits) : count;
}

// The median units/s of options.runs runs; 0 when a run failed.
double median_rate(const Case& c, int runs) {
  std::vector<double> rates;
  for (int run = 0; run < runs; ++run) {
    double seconds = time_case(c);
    if (seconds <= 0) return 0;
    // The first unit starts the clock, so count - 1 units are timed.
    rates.push_back(static_cast<double>(c.count - 1) / seconds);
  }
  std::sort(rates.begin(), rates.end());
  return rates[rates.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{"bench_compare - raw socket pairs and ZeroMQ moving the units of `datalink bench`"};
  app.add_flag("--csv", options.csv, "comma-separated output for machines");
  app.add_flag("--quick", options.quick, "few units per row: a smoke run");
  app.add_option("--sizes", options.sizes, "comma-separated unit sizes in bytes");
  app.add_option(
      "--impls", options.impls,
      "rows: datalink, datalink-batch, datalink-conv, raw-stream, raw-proto, zmq; with --ack: datalink-ack, raw-ack, "
      "zmq-reqrep");
  app.add_option("--transports", options.transports, "tcp, unix or both (comma-separated)");
  app.add_flag("--ack", options.ack, "acknowledged units: DataLink, a raw pair and ZeroMQ REQ/REP");
  app.add_flag("--pin", options.pin, "acknowledged rows also pinned to one core and to two cores");
  app.add_option("--runs", options.runs, "runs per row; the median is printed")->check(CLI::PositiveNumber);
  app.add_option("--sockbuf", options.sockbuf, "socket buffer bytes for every end (0: system sizes)");
  app.add_option("--count", options.count, "units per row (0: by unit size)");
  app.add_flag("--memory", options.memory, "resident memory of the collector over --count units");
  CLI11_PARSE(app, argc, argv);

  if (options.memory) {
    std::printf("size_bytes,transport,units,alternate,rss_kib_after_1pct,rss_kib_after_50pct,rss_kib_at_end\n");
    const std::string sizes = app.count("--sizes") > 0 ? options.sizes : "65536";
    const uint64_t count = options.count > 0 ? options.count : 100000;
    bool ok = true;
    for (bool alternate : {false, true})
      for (const std::string& size : split(sizes))
        ok = print_memory(std::stoull(size), options.transports == "unix", count, alternate) && ok;
    return ok ? 0 : 1;
  }

  std::vector<std::string> impls =
      split(options.impls.empty() ? (options.ack ? "datalink-ack,raw-ack,zmq-reqrep"
                                                 : "datalink,datalink-batch,raw-stream,raw-proto,zmq,datalink-conv")
                                  : options.impls);
#ifndef DATALINK_BENCH_ZMQ
  impls.erase(std::remove_if(impls.begin(), impls.end(), [](const std::string& i) { return i.rfind("zmq", 0) == 0; }),
              impls.end());
#endif
  std::vector<Pinning> pins = {kUnpinned};
  if (options.ack && options.pin) pins = {kUnpinned, kSameCore, kSplitCores};

  if (options.csv)
    std::printf("size_bytes,transport,impl,pin,sockbuf,count,units_per_s,mb_per_s\n");
  else
    std::printf("%10s %-5s %-14s %-5s %8s %8s %14s %10s\n", "size [B]", "link", "impl", "pin", "sockbuf", "count",
                "units/s", "MB/s");
  bool failed = false;
  for (const std::string& transport : split(options.transports)) {
    for (const std::string& size_text : split(options.sizes)) {
      const size_t size = std::max<size_t>(std::stoull(size_text), kHeaderBytes);
      for (const Pinning& pin : pins) {
        for (const std::string& impl : impls) {
          const bool ack = impl == "datalink-ack" || impl == "raw-ack" || impl == "zmq-reqrep";
          Case c{impl, size, units_for(size, ack, options), transport == "unix", options.sockbuf, pin};
          const double rate = median_rate(c, options.runs);
          const double mbps = rate * static_cast<double>(size) / 1e6;
          failed = failed || rate <= 0;
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
  if (failed) std::fprintf(stderr, "bench_compare: some rows failed to run\n");
  return failed ? 1 : 0;
}
