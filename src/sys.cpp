// sys.cpp - one system call per wrapper, errno captured at once.
#include "sys.h"

#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace datalink::sys {

namespace {
IoResult result_of(ssize_t n) { return IoResult{n, n < 0 ? errno : 0}; }
}  // namespace

IoResult read_some(int fd, void* buf, size_t count) { return result_of(::read(fd, buf, count)); }

IoResult write_some(int fd, const void* buf, size_t count) { return result_of(::write(fd, buf, count)); }

IoResult writev_some(int fd, const struct iovec* iov, int count) { return result_of(::writev(fd, iov, count)); }

IoResult send_some(int fd, const void* buf, size_t count) { return result_of(::send(fd, buf, count, 0)); }

IoResult recv_some(int fd, void* buf, size_t count) { return result_of(::recv(fd, buf, count, 0)); }

bool selectable(int fd) { return fd >= 0 && fd < FD_SETSIZE; }

WaitResult wait_ready(int fd, bool for_write, long sec, long usec, bool unlimited) {
  if (!selectable(fd)) {
    // FD_SET outside the set would write past it; report a bad descriptor.
    errno = EBADF;
    return WaitResult{-1, EBADF, false};
  }
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fd, &set);
  struct timeval timeout;
  timeout.tv_sec = sec;
  timeout.tv_usec = usec;
  int ret =
      ::select(fd + 1, for_write ? nullptr : &set, for_write ? &set : nullptr, nullptr, unlimited ? nullptr : &timeout);
  WaitResult result{ret, ret < 0 ? errno : 0, false};
  if (ret > 0) result.ours = FD_ISSET(fd, &set);
  return result;
}

}  // namespace datalink::sys
