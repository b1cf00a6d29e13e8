// test_support.cpp - real-socket fixtures for the link's tests.
#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>

#include "socket_family.h"

namespace testsupport {

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

sockaddr_un unix_address(int port) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", unix_path(port).c_str());
  return address;
}

}  // namespace

std::string unix_path(int port) { return datalink::UnixPath(port).text; }

int free_port() {
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    int port = ntohs(address.sin_port);
    if (access(unix_path(port).c_str(), F_OK) != 0) return port;
  }
}

SockTypeScope::SockTypeScope(const char* value, int port) : port_(port) {
  if (value != nullptr)
    setenv(datalink::kSockTypeVariable, value, 1);
  else
    unsetenv(datalink::kSockTypeVariable);
}

SockTypeScope::~SockTypeScope() {
  unsetenv(datalink::kSockTypeVariable);
  unlink(unix_path(port_).c_str());
}

Capture::Capture(int fd) : fd_(fd) {
  std::fflush(nullptr);
  char name[] = "/tmp/datalink-capture-XXXXXX";
  file_ = mkstemp(name);
  unlink(name);
  saved_ = dup(fd_);
  dup2(file_, fd_);
}

Capture::~Capture() { text(); }

std::string Capture::text() {
  if (done_) return text_;
  done_ = true;
  std::fflush(nullptr);
  dup2(saved_, fd_);
  close(saved_);
  lseek(file_, 0, SEEK_SET);
  char chunk[4096];
  ssize_t n;
  while ((n = read(file_, chunk, sizeof chunk)) > 0) text_.append(chunk, static_cast<size_t>(n));
  close(file_);
  return text_;
}

void set_timeouts(int fd, int milliseconds) {
  timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

int raw_connect(int port, bool unix_domain) {
  int fd = socket(unix_domain ? AF_UNIX : AF_INET, SOCK_STREAM, 0);
  int rc;
  if (unix_domain) {
    sockaddr_un address = unix_address(port);
    rc = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } else {
    sockaddr_in address = loopback(port);
    rc = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  if (rc != 0) {
    close(fd);
    return -1;
  }
  set_timeouts(fd, 5000);
  return fd;
}

int raw_listen(int port, bool unix_domain) {
  int fd = socket(unix_domain ? AF_UNIX : AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  int rc;
  if (unix_domain) {
    sockaddr_un address = unix_address(port);
    unlink(address.sun_path);
    rc = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } else {
    sockaddr_in address = loopback(port);
    rc = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  if (rc != 0 || listen(fd, 5) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int raw_accept(int listen_fd) {
  pollfd ready{listen_fd, POLLIN, 0};
  if (poll(&ready, 1, 5000) != 1) return -1;
  int fd = accept(listen_fd, nullptr, nullptr);
  if (fd >= 0) set_timeouts(fd, 5000);
  return fd;
}

bool write_all(int fd, const void* data, size_t count) {
  const char* bytes = static_cast<const char*>(data);
  while (count > 0) {
    ssize_t n = send(fd, bytes, count, MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool write_all(int fd, const Bytes& bytes) { return write_all(fd, bytes.data(), bytes.size()); }

Bytes read_exact(int fd, size_t count) {
  Bytes bytes(count);
  size_t got = 0;
  while (got < count) {
    ssize_t n = recv(fd, bytes.data() + got, count - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

Bytes read_available(int fd, int milliseconds) {
  Bytes bytes;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) != 1) break;
    uint8_t chunk[65536];
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

ListenerAndRawPeer::~ListenerAndRawPeer() {
  close_fd(peer);
  if (link) {
    Quiet quiet;
    link->SocketRelease();
  }
  unlink(unix_path(port).c_str());
}

std::unique_ptr<ListenerAndRawPeer> listener_with_raw_peer(int mode, bool unix_domain, bool no_delay) {
  auto pair = std::make_unique<ListenerAndRawPeer>();
  pair->port = free_port();
  pair->link = std::make_unique<DataLink>(mode);
  if (!no_delay) pair->link->SetDelay();
  {
    Capture quiet(1);
    SockTypeScope family(unix_domain ? "UNIX" : nullptr, -1);
    if (pair->link->SocketSetup(pair->port) != DL_OK) return nullptr;
  }
  // The client's connect completes from the backlog, so accept does not block.
  pair->peer = raw_connect(pair->port, unix_domain);
  if (pair->peer < 0) return nullptr;
  {
    Capture quiet(2);
    if (pair->link->Connect(true) != DL_OK) return nullptr;
  }
  pair->preamble = read_exact(pair->peer, 4);
  return pair;
}

CallerAndRawPeer::~CallerAndRawPeer() {
  close_fd(peer);
  if (link) {
    Quiet quiet;
    link->SocketRelease();
  }
  unlink(unix_path(port).c_str());
}

std::unique_ptr<CallerAndRawPeer> caller_with_raw_peer(const Bytes& preamble, bool unix_domain) {
  auto pair = std::make_unique<CallerAndRawPeer>();
  pair->port = free_port();
  int listener = raw_listen(pair->port, unix_domain);
  if (listener < 0) return nullptr;
  std::thread server([&] {
    pair->peer = raw_accept(listener);
    if (pair->peer >= 0) write_all(pair->peer, preamble);
  });
  pair->link = std::make_unique<DataLink>(0);
  {
    Quiet quiet;
    SockTypeScope family(unix_domain ? "UNIX" : nullptr, -1);
    pair->status = pair->link->Connect("localhost", pair->port);
  }
  server.join();
  close(listener);
  if (unix_domain) unlink(unix_path(pair->port).c_str());
  return pair;
}

Bytes host_order_bytes(uint32_t value) {
  Bytes bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}

Bytes swapped_order_bytes(uint32_t value) {
  Bytes bytes = host_order_bytes(value);
  return Bytes(bytes.rbegin(), bytes.rend());
}

LinkPair::~LinkPair() {
  Quiet quiet;
  if (caller) caller->SocketRelease();
  if (listener) listener->SocketRelease();
  unlink(unix_path(port).c_str());
}

std::unique_ptr<LinkPair> link_pair(int listener_mode, bool unix_domain) {
  auto pair = std::make_unique<LinkPair>();
  pair->port = free_port();
  pair->listener = std::make_unique<DataLink>(listener_mode);
  pair->caller = std::make_unique<DataLink>(0);
  Quiet quiet;
  SockTypeScope family(unix_domain ? "UNIX" : nullptr, -1);
  if (pair->listener->SocketSetup(pair->port) != DL_OK) return nullptr;
  int caller_status = -1;
  std::thread calling([&] { caller_status = pair->caller->Connect("localhost", pair->port); });
  int listener_status = pair->listener->Connect(true);
  calling.join();
  if (listener_status != DL_OK || caller_status != DL_OK) return nullptr;
  return pair;
}

ChildProcess::ChildProcess(unsigned seconds, const std::function<int()>& fn) {
  std::fflush(nullptr);  // or the child would print the parent's buffered output again
  pid_ = fork();
  if (pid_ == 0) {
    alarm(seconds);
    _exit(fn());
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

int ChildProcess::exit_code() {
  int status = 0;
  const bool reaped = pid_ > 0 && waitpid(pid_, &status, 0) == pid_;
  pid_ = 0;
  return reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A thread still running past the deadline may be using the caller's stack,
// which the failing test is about to leave: it can neither be joined nor let
// go, so the test program ends here, reported as failed by ctest.
bool finishes_within(int milliseconds, std::function<void()> fn) {
  std::packaged_task<void()> task(std::move(fn));
  std::future<void> done = task.get_future();
  std::thread worker(std::move(task));
  if (done.wait_for(std::chrono::milliseconds(milliseconds)) != std::future_status::ready) {
    std::fprintf(stderr, "finishes_within: the call did not finish within %d ms; ending the test program\n",
                 milliseconds);
    std::fflush(nullptr);
    std::_Exit(EXIT_FAILURE);
  }
  worker.join();
  return true;
}

}  // namespace testsupport
