// sys.h - the thin layer between the link and the kernel for the calls that
// move bytes and wait. Each wrapper makes exactly one system call and hands
// back its result together with errno, read at once; errno itself is left as
// the call set it, so the system error printer still describes it.
//
// The *_now calls try a transfer without blocking, whatever mode the
// descriptor is in (MSG_DONTWAIT), and report "would block" as EAGAIN. A
// descriptor they cannot try that way (none, or not a socket) reports EAGAIN
// as well without a call, so the caller falls back to the wait and the
// transfer it would have made anyway.
#ifndef DATALINK_SYS_H
#define DATALINK_SYS_H

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

namespace datalink::sys {

struct IoResult {
  ssize_t n;  // bytes moved, or -1
  int err;    // errno when n is -1, else 0
  bool failed() const { return n < 0; }
  bool would_block() const;
};

IoResult write_some(int fd, const void* buf, size_t count);
IoResult writev_some(int fd, const struct iovec* iov, int count);
IoResult send_some(int fd, const void* buf, size_t count);
IoResult recv_some(int fd, void* buf, size_t count);
IoResult readv_some(int fd, const struct iovec* iov, int count);
IoResult recvv_now(int fd, const struct iovec* iov, int count);
IoResult sendv_now(int fd, const struct iovec* iov, int count);

struct WaitResult {
  int ret;    // -1 failed, 0 timed out, > 0 something is ready
  int err;    // errno when ret is -1
  bool ours;  // fd is ready as asked, or has an error or a hang-up to report
};

// One ppoll() on fd alone, for reading or for writing; any descriptor number
// works. unlimited waits without a time-out, else sec s and usec µs. A
// negative or closed descriptor fails with EBADF.
WaitResult wait_ready(int fd, bool for_write, long sec, long usec, bool unlimited);

}  // namespace datalink::sys

#endif  // DATALINK_SYS_H
