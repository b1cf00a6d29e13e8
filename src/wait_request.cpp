// wait_request.cpp - the readiness wait with its retry budget, and raw
// request bytes written to the peer.
#include <cerrno>

#include "DataLink.h"
#include "link_core.h"
#include "link_limits.h"
#include "messages.h"
#include "sys.h"

using namespace datalink;

// A pass that times out costs 2 from the budget, any other pass that does not
// return costs 1: a budget of n with only time-outs gives ceil(n/2) passes.
int DataLink::IfReady(bool op, int trs, int sec, int usec) {
  const int failed = op ? DL_ERR_WRITE : DL_ERR_READ;
  if (sockin < 0) return failed;  // no connection, whatever the budget
  const bool unlimited = sec == -1 || usec == -1;
  int budget = trs < 0 ? retrs : trs;
  // Bytes read ahead are there to be read without waiting; a budget of 0
  // still gives up at once.
  if (!op && budget > 0 && LinkCore::Buffered(*this) > 0) return DL_OK;
  while (budget > 0) {
    --budget;
    sys::WaitResult wait = sys::wait_ready(sockin, op, sec, usec, unlimited);
    if (wait.ret == 0) {
      if (--budget <= 0) return DL_ERR_TIMEOUT;
      continue;
    }
    if (wait.ret < 0) {
      if (wait.err != EAGAIN) return failed;
      continue;
    }
    if (wait.ours) return DL_OK;
    out_line("ReceiveEvent(): select triggered but not our socket");
  }
  return op ? DL_ERR_NOT_WRITABLE : DL_ERR_NOT_READABLE;
}

// The request goes out from the caller's buffer as it is: no header, length
// or byte-order conversion.
int DataLink::SendRequest(const char* buf, int sz) {
  if (int refused = receive_guard(connected, receive_lock, "SendRequest(): Not connected.  No action taken.",
                                  "SendRequest(): Receive lock set.  Waiting for space in Ring Buffer."))
    return refused;
  if (sz < 0) return DL_ERR_VALUE;
  int hd_len = 0;
  int rtr = kSendRequestFirstBudget;
  while (hd_len != sz && rtr > 0) {
    sys::WaitResult wait = sys::wait_ready(sockin, true, 0, kSelectTimeoutUs, false);
    out_print("SendRequest() select() ret: %d\n", wait.ret);
    if (wait.ret < 0) {
      out_line("ERROR");
      errno = wait.err;  // the prints above may have changed it
      sys_error("SendRequest(): select() failed for ACK");
      if (wait.err != EAGAIN) return DL_ERR_WRITE;
      continue;
    }
    if (wait.ret == 0) {
      --rtr;
      continue;
    }
    if (!wait.ours) {
      out_line("SendRequest() select triggered but not our socket");
      continue;
    }
    sys::IoResult written = sys::write_some(sockin, buf + hd_len, static_cast<size_t>(sz - hd_len));
    if (written.failed()) {
      sys_error("Failed to send request");
      if (written.err != EAGAIN) return DL_ERR_WRITE;
      continue;
    }
    if (written.n > 0) {
      hd_len += static_cast<int>(written.n);
      rtr = retrs;
    }
  }
  // Running out of budget before the last byte is a failure, not a success.
  return hd_len == sz ? DL_OK : DL_ERR_RETRIES;
}
