// sys.cpp - one system call per wrapper, errno captured at once.
#include "sys.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace datalink::sys {

namespace {
IoResult result_of(ssize_t n) { return IoResult{n, n < 0 ? errno : 0}; }

constexpr IoResult kWouldBlock{-1, EAGAIN};

// Only a socket can be tried without blocking; any other descriptor reports
// "would block" and gets the caller's wait and plain transfer.
IoResult tried(ssize_t n) {
  if (n >= 0) return IoResult{n, 0};
  const int err = errno;
  return err == ENOTSOCK ? kWouldBlock : IoResult{n, err};
}

struct msghdr message_of(const struct iovec* iov, int count) {
  struct msghdr message {};
  message.msg_iov = const_cast<struct iovec*>(iov);
  message.msg_iovlen = static_cast<size_t>(count);
  return message;
}

WaitResult failed_wait(int err) {
  errno = err;
  return WaitResult{-1, err, false};
}

// ppoll() keeps the microseconds a caller gives; whole seconds in usec carry
// over as select() carries them.
struct timespec timeout_of(long sec, long usec) {
  constexpr long kMicrosPerSecond = 1000000;
  return timespec{static_cast<time_t>(sec + usec / kMicrosPerSecond), (usec % kMicrosPerSecond) * 1000};
}
}  // namespace

IoResult write_some(int fd, const void* buf, size_t count) { return result_of(::write(fd, buf, count)); }

IoResult writev_some(int fd, const struct iovec* iov, int count) { return result_of(::writev(fd, iov, count)); }

IoResult send_some(int fd, const void* buf, size_t count) { return result_of(::send(fd, buf, count, 0)); }

IoResult recv_some(int fd, void* buf, size_t count) { return result_of(::recv(fd, buf, count, 0)); }

IoResult readv_some(int fd, const struct iovec* iov, int count) { return result_of(::readv(fd, iov, count)); }

bool IoResult::would_block() const { return n < 0 && (err == EAGAIN || err == EWOULDBLOCK); }

IoResult recvv_now(int fd, const struct iovec* iov, int count) {
  if (fd < 0) return kWouldBlock;
  struct msghdr message = message_of(iov, count);
  return tried(::recvmsg(fd, &message, MSG_DONTWAIT));
}

IoResult sendv_now(int fd, const struct iovec* iov, int count) {
  if (fd < 0) return kWouldBlock;
  struct msghdr message = message_of(iov, count);
  return tried(::sendmsg(fd, &message, MSG_DONTWAIT));
}

WaitResult wait_ready(int fd, bool for_write, long sec, long usec, bool unlimited) {
  // poll() skips a negative descriptor and would wait out the time-out, or
  // forever; a link without a socket fails at once instead.
  if (fd < 0) return failed_wait(EBADF);
  // A negative time-out is refused as select() refuses it, not taken as "no limit".
  if (!unlimited && (sec < 0 || usec < 0)) return failed_wait(EINVAL);
  struct pollfd watch = {fd, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
  const struct timespec timeout = timeout_of(sec, usec);
  const int ret = ::ppoll(&watch, 1, unlimited ? nullptr : &timeout, nullptr);
  if (ret < 0) return WaitResult{ret, errno, false};
  // A descriptor that is not open is reported in revents; select() failed instead.
  if (ret > 0 && (watch.revents & POLLNVAL)) return failed_wait(EBADF);
  // An error or a hang-up makes the socket ready either way: the transfer that
  // follows reports it (select() lists such a socket as readable as well).
  const short ready = static_cast<short>(watch.events | POLLERR | POLLHUP);
  return WaitResult{ret, 0, (watch.revents & ready) != 0};
}

}  // namespace datalink::sys
