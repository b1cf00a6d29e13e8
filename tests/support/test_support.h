// test_support.h - real-socket fixtures for the link's tests, fuzz targets and
// benchmarks: free ports, raw POSIX peers, captured or silenced output, and
// links connected to a raw peer.
#ifndef DATALINK_TEST_SUPPORT_H
#define DATALINK_TEST_SUPPORT_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DataLink.h"
#include "wire_units.h"

namespace testsupport {

// A TCP port that is free right now (bound to port 0 and read back). Its
// UNIX-domain path /tmp/<port>.tcp does not exist either.
int free_port();

// The UNIX-domain path a link on port uses.
std::string unix_path(int port);

// Sets or unsets VRQ5_DATA_LINK_SOCK_TYPE for the lifetime of the object and
// removes the UNIX-domain path of port, if any, at the end.
class SockTypeScope {
 public:
  SockTypeScope(const char* value, int port);
  ~SockTypeScope();

 private:
  int port_;
};

// Captures what is written to stdout or stderr (fd 1 or 2) while it lives.
class Capture {
 public:
  explicit Capture(int fd);
  ~Capture();
  std::string text();  // stops capturing on first call and returns the output

 private:
  int fd_;
  int saved_;
  int file_;
  bool done_ = false;
  std::string text_;
};

// Keeps what the library prints on stdout and stderr out of the output.
class Quiet {
 private:
  Capture out_{1};
  Capture err_{2};
};

// Raw socket helpers. Every raw fd gets 5-second send and receive time-outs so
// that a test that waits for bytes that never come fails instead of hanging.
int raw_connect(int port, bool unix_domain);
int raw_listen(int port, bool unix_domain);
int raw_accept(int listen_fd);
void set_timeouts(int fd, int milliseconds);
bool write_all(int fd, const void* data, size_t count);
bool write_all(int fd, const Bytes& bytes);
// Reads exactly count bytes, or fewer if the peer closes or the time-out hits.
Bytes read_exact(int fd, size_t count);
// Reads whatever arrives within milliseconds.
Bytes read_available(int fd, int milliseconds);
void close_fd(int& fd);

// A DataLink listener with one raw client connected to it. The client has
// already read the 4-byte preamble into `preamble`.
struct ListenerAndRawPeer {
  std::unique_ptr<DataLink> link;
  int port = 0;
  int peer = -1;
  Bytes preamble;
  ~ListenerAndRawPeer();
};
std::unique_ptr<ListenerAndRawPeer> listener_with_raw_peer(int mode = NATIVE_MODE, bool unix_domain = false,
                                                           bool no_delay = true);

// A DataLink caller connected to a raw listener that sent `preamble` (4 raw
// bytes in the order given). `status` is what Connect(host, port) returned.
struct CallerAndRawPeer {
  std::unique_ptr<DataLink> link;
  int port = 0;
  int peer = -1;
  int status = -1;
  ~CallerAndRawPeer();
};
std::unique_ptr<CallerAndRawPeer> caller_with_raw_peer(const Bytes& preamble, bool unix_domain = false);

// The preamble bytes a little- or big-endian listener would send for a value.
Bytes host_order_bytes(uint32_t value);
Bytes swapped_order_bytes(uint32_t value);

// A DataLink listener and a DataLink caller connected to each other.
struct LinkPair {
  std::unique_ptr<DataLink> listener;
  std::unique_ptr<DataLink> caller;
  int port = 0;
  ~LinkPair();
};
std::unique_ptr<LinkPair> link_pair(int listener_mode = NATIVE_MODE, bool unix_domain = false);

// A child process that runs fn and exits with its result; an alarm ends it
// after seconds. It is killed and reaped when the object goes, so no child
// outlives the test that started it.
class ChildProcess {
 public:
  ChildProcess(unsigned seconds, const std::function<int()>& fn);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  bool started() const { return pid_ > 0; }
  // Waits for the child: its exit code, or -1 when it did not exit by itself.
  int exit_code();

 private:
  int pid_;
};

// Runs fn on a thread and joins it; true once it has finished. When it has
// not finished within milliseconds the test program ends with a failure
// instead of hanging (the thread may use the caller's stack, so it cannot be
// left behind).
bool finishes_within(int milliseconds, std::function<void()> fn);

}  // namespace testsupport

#endif  // DATALINK_TEST_SUPPORT_H
