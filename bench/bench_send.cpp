// bench_send.cpp - what SendEvent costs on top of the kernel: events of
// 64 B to 1 MiB go through the direct and the converting path over loopback
// TCP and a UNIX-domain socket into a reader that drains and discards, and
// the same bytes go through a bare writev loop on the same kind of socket.
//
// Usage: bench_send [seconds per case, default 0.5]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "DataLink.h"
#include "test_support.h"

namespace {

using namespace testsupport;
using Clock = std::chrono::steady_clock;

double g_seconds_per_case = 0.5;

// Reads and discards until the writer closes.
void drain(int fd) {
  std::vector<char> sink(1 << 20);
  while (read(fd, sink.data(), sink.size()) > 0) {
  }
  close(fd);
}

enum class Path { kDirect, kDirectPlain, kConverting };

const char* path_name(Path path) {
  switch (path) {
    case Path::kDirect:
      return "direct";
    case Path::kDirectPlain:
      return "direct, plain";
    case Path::kConverting:
      return "converting";
  }
  return "";
}

// One unit: a 36-byte header and one body element.
struct Event {
  vrq5_eventheader header{};
  std::vector<char> body;
  explicit Event(size_t size) : body(size - sizeof header, 'b') {
    header.pattern = VRQ5_PATTERN_EVENT;
    header.event_length = static_cast<uint32_t>(size);
    header.event_type = VRQ5_EV_NORMAL;
  }
  // Built afresh per send: the sender may advance the elements.
  void fill(struct iovec* iov) {
    iov[0] = {&header, sizeof header};
    iov[1] = {body.data(), body.size()};
  }
};

struct Figures {
  double events_per_s = 0;
  double mb_per_s = 0;
  bool ok = true;
};

// Runs send_one until the case's time is up; every event is timed in the same
// loop so that both sides pay the clock equally.
template <class SendOne>
Figures measure(size_t event_size, SendOne send_one) {
  for (int i = 0; i < 10; ++i)
    if (!send_one()) return Figures{0, 0, false};
  long events = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    for (int i = 0; i < 16; ++i, ++events)
      if (!send_one()) return Figures{0, 0, false};
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < g_seconds_per_case);
  return Figures{events / elapsed, events * static_cast<double>(event_size) / elapsed / 1e6, true};
}

Figures run_link(Path path, bool unix_domain, size_t event_size) {
  const int port = free_port();
  SockTypeScope family(unix_domain ? "UNIX" : nullptr, port);
  DataLink link(path == Path::kConverting ? BIGEND_MODE : NATIVE_MODE);
  if (path == Path::kDirectPlain) link.SetDelay();
  Figures figures{0, 0, false};
  if (link.SocketSetup(port) != DL_OK) return figures;
  int client = raw_connect(port, unix_domain);
  if (client >= 0 && link.Connect(true) == DL_OK) {
    std::thread reader(drain, client);
    Event event(event_size);
    struct iovec iov[2];
    figures = measure(event_size, [&] {
      event.fill(iov);
      return link.SendEvent(iov, 2, SendEvent_NOACK) == DL_OK;
    });
    link.SocketRelease();
    reader.join();
  } else {
    if (client >= 0) close(client);
    link.SocketRelease();
  }
  return figures;
}

// The same bytes through writev on a blocking socket of the same family.
Figures run_writev(bool unix_domain, size_t event_size) {
  const int port = free_port();
  int listener = raw_listen(port, unix_domain);
  Figures figures{0, 0, false};
  if (listener >= 0) {
    int client = raw_connect(port, unix_domain);
    int writer = raw_accept(listener);
    int one = 1;
    if (!unix_domain) setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread reader(drain, client);
    Event event(event_size);
    struct iovec iov[2];
    figures = measure(event_size, [&] {
      event.fill(iov);
      size_t left = event_size;
      struct iovec* next = iov;
      int count = 2;
      while (left > 0) {
        ssize_t n = writev(writer, next, count);
        if (n <= 0) return false;
        left -= static_cast<size_t>(n);
        while (count > 0 && static_cast<size_t>(n) >= next->iov_len) {
          n -= static_cast<ssize_t>(next->iov_len);
          ++next;
          --count;
        }
        if (count > 0) {
          next->iov_base = static_cast<char*>(next->iov_base) + n;
          next->iov_len -= static_cast<size_t>(n);
        }
      }
      return true;
    });
    close(writer);
    reader.join();
  }
  close_fd(listener);
  unlink(unix_path(port).c_str());
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) g_seconds_per_case = std::atof(argv[1]);
  const size_t event_sizes[] = {64, 1024, 64 * 1024, 1024 * 1024};
  const Path paths[] = {Path::kDirect, Path::kDirectPlain, Path::kConverting};
  std::printf("%-5s %8s  %-14s %12s %10s   %12s %10s   %6s\n", "link", "event", "path", "events/s", "MB/s",
              "writev ev/s", "MB/s", "ratio");
  std::fflush(stdout);
  for (bool unix_domain : {false, true}) {
    for (size_t event_size : event_sizes) {
      Figures base = run_writev(unix_domain, event_size);
      for (Path path : paths) {
        Figures got;
        {
          Quiet quiet;  // the link's own setup lines stay out of the table
          got = run_link(path, unix_domain, event_size);
        }
        std::printf("%-5s %8zu  %-14s %12.0f %10.1f   %12.0f %10.1f   %6.2f%s\n", unix_domain ? "unix" : "tcp",
                    event_size, path_name(path), got.events_per_s, got.mb_per_s, base.events_per_s, base.mb_per_s,
                    base.mb_per_s > 0 ? got.mb_per_s / base.mb_per_s : 0.0, got.ok && base.ok ? "" : "  FAILED");
        std::fflush(stdout);
      }
    }
  }
  return 0;
}
