// transmit.cpp - the byte-moving half of SendEvent: the acknowledged header,
// the wait for the receiver's answer, the write of a converted unit and the
// stepped scatter write of the caller's elements.
//
// All four share one 100 ms wait that spends the call's retry budget, and one
// errno policy. Every transfer is tried first without blocking; only when it
// would block does the pass make its wait (guarded mode, no_delay) or its
// plain transfer (plain mode, on what should be a blocking socket), exactly
// as it would have without the try. A try that moved bytes stands for a wait
// that returned at once. Should a plain-mode transfer meet EAGAIN all the same
// (a listener accepted with no_delay and switched to SetDelay() afterwards),
// the next pass waits like a guarded one instead of spinning on the socket.
#include <cerrno>
#include <cstdio>

#include "DataLink.h"
#include "link_core.h"
#include "link_limits.h"
#include "messages.h"
#include "sys.h"

using namespace datalink;

namespace {

constexpr bool kForWrite = true;
constexpr bool kForRead = false;

// One wait of the sending side. A time-out spends one unit of the budget.
sys::WaitResult wait_spending(int fd, bool for_write, int& rtr) {
  sys::WaitResult wait = sys::wait_ready(fd, for_write, 0, kSelectTimeoutUs, false);
  if (wait.ret == 0) --rtr;
  return wait;
}

// Whether a wait that did not fail woke for our socket; a time-out is not,
// and a wake-up for another descriptor is reported and tried again.
bool ready_for_us(const sys::WaitResult& wait) {
  if (wait.ret == 0) return false;
  if (!wait.ours) out_line("SendEvent() select triggered but not our socket");
  return wait.ours;
}

// The system error printer describes errno; restore the failed call's value,
// which an output line in between may have overwritten.
void report_errno(const char* text, int err) {
  errno = err;
  sys_error(text);
}

uint64_t sum_lengths(const struct iovec* first, int count) {
  uint64_t sum = 0;
  for (int i = 0; i < count; ++i) sum += first[i].iov_len;
  return sum;
}

// After a writev that took step_sent bytes of the elements from indx on,
// moves indx to the first element with unsent bytes and trims that element
// to them, so the next writev resumes at the first unsent byte.
void skip_sent_bytes(struct iovec* vector, int& indx, int& fr_left, uint64_t step_sent) {
  int last = indx;  // the last element step_sent reaches into
  uint64_t through_last = vector[last].iov_len;
  while (through_last < step_sent && last + 1 < indx + fr_left) {
    ++last;
    through_last += vector[last].iov_len;
  }
  int next = last + 1;
  if (through_last != step_sent) {
    // That element went out in part: keep only its tail.
    const uint64_t unsent = through_last - step_sent;
    vector[last].iov_base = static_cast<char*>(vector[last].iov_base) + (vector[last].iov_len - unsent);
    vector[last].iov_len = unsent;
    next = last;
  }
  fr_left -= next - indx;
  indx = next;
}

}  // namespace

bool LinkCore::SendRetryable(DataLink& link, int err) {
  if (err == EAGAIN) return true;
  DropLinkIfPeerGone(link, err);
  return false;
}

void LinkCore::DropLinkIfPeerGone(DataLink& link, int err) {
  if (err == EPIPE) link.Disconnect();
}

// The header goes out alone so that the receiver can check its room before
// the body follows. Always guarded, whatever no_delay says; an EAGAIN on the
// write is reported as 28 rather than retried.
int LinkCore::SendHeaderPhase(DataLink& link, const char* header, int hdsz, int& rtr) {
  int hd_len = 0;
  while (rtr > 0 && hd_len < hdsz) {
    const struct iovec rest = {const_cast<char*>(header) + hd_len, static_cast<size_t>(hdsz - hd_len)};
    sys::IoResult written{};
    if (!TryWriteLink(link, &rest, 1, written)) {
      sys::WaitResult wait = wait_spending(link.sockin, kForWrite, rtr);
      if (wait.ret < 0) {
        out_line("ERROR");
        report_errno("SendEvent(): select() failed for ACK", wait.err);
        DropLinkIfPeerGone(link, wait.err);
        return DL_ERR_READ;
      }
      if (!ready_for_us(wait)) continue;
      written = sys::write_some(link.sockin, rest.iov_base, rest.iov_len);
    }
    if (written.failed()) {
      report_errno("Failed to send event header", written.err);
      out_print("ERRNO: %d\n", written.err);
      return SendRetryable(link, written.err) ? DL_ERR_WOULD_BLOCK : DL_ERR_WRITE;
    }
    if (written.n > 0) {
      rtr = link.retrs;
      hd_len += static_cast<int>(written.n);
    }
  }
  return hd_len == hdsz ? DL_OK : DL_ERR_RETRIES;
}

// The receiver answers with one int32 in its own byte order: 0 when its ring
// buffer has room for the unit. Only 0 counts, so the order cannot turn a
// refusal into consent. Reads that bring nothing are counted apart from the
// time-outs: a closed peer makes every read return 0 at once.
int LinkCore::AwaitAcknowledgement(DataLink& link, int& rtr) {
  rtr = link.retrs;
  int ack = 0;
  int hd_len = 0;
  int errcnt = 0;
  bool wait_first = link.no_delay;
  while (rtr > 0 && errcnt < kAckEmptyReadLimit && hd_len < kAckBytes) {
    char* const rest = reinterpret_cast<char*>(&ack) + hd_len;
    const size_t missing = static_cast<size_t>(kAckBytes - hd_len);
    sys::IoResult got{};
    if (!TryReadLink(link, rest, missing, got)) {
      if (wait_first) {
        sys::WaitResult wait = wait_spending(link.sockin, kForRead, rtr);
        if (wait.ret < 0) {
          DropLinkIfPeerGone(link, wait.err);
          return DL_ERR_READ;
        }
        if (!ready_for_us(wait)) continue;
      }
      got = ReadLink(link, rest, missing);
    }
    if (got.n > 0) {
      rtr = link.retrs;
      hd_len += static_cast<int>(got.n);
      errcnt = 0;
      wait_first = link.no_delay;
      continue;
    }
    if (got.failed()) {
      if (!SendRetryable(link, got.err)) return DL_ERR_WRITE;
      wait_first = true;
    }
    ++errcnt;
  }
  if (hd_len < kAckBytes) return DL_ERR_RETRIES;
  if (link.get_swap()) vrq5_swap4(&ack, &ack, 1);
  return ack == 0 ? DL_OK : DL_ERR_BUFFER_SIZE;
}

// The guarded wait before a body write, with no check of the returned set:
// DL_OK when the socket is writable (the budget is renewed), DL_ERR_WRITE when
// the wait failed for good, DL_ERR_TIMEOUT when the caller should try again
// (a time-out, which spent one unit, or EAGAIN).
int LinkCore::WaitToWriteBody(DataLink& link, int& rtr) {
  sys::WaitResult wait = wait_spending(link.sockin, kForWrite, rtr);
  if (wait.ret < 0) return SendRetryable(link, wait.err) ? DL_ERR_TIMEOUT : DL_ERR_WRITE;
  if (wait.ret == 0) return DL_ERR_TIMEOUT;
  rtr = link.retrs;
  return DL_OK;
}

// One pass of a body write, tried first. When it would block: in guarded
// mode (wait_first) the wait, then the plain write. DL_OK with written set,
// DL_ERR_TIMEOUT when the pass moved nothing and the caller goes round again,
// DL_ERR_WRITE when the wait failed for good.
int LinkCore::BodyWritePass(DataLink& link, const struct iovec* iov, int count, bool wait_first, int& rtr,
                            sys::IoResult& written) {
  if (TryWriteLink(link, iov, count, written)) {
    // The wait the try made unnecessary would have renewed the budget.
    if (wait_first) rtr = link.retrs;
    return DL_OK;
  }
  if (wait_first) {
    const int ready = WaitToWriteBody(link, rtr);
    if (ready != DL_OK) return ready;
  }
  written = sys::writev_some(link.sockin, iov, count);
  return DL_OK;
}

// Writes the converted unit from sent_total to its end. Running out of budget
// is not a failure here: the caller compares sent_total with the length.
int LinkCore::WriteEventBuffer(DataLink& link, const char* event_buf, uint32_t event_length, uint32_t& sent_total,
                               int& rtr) {
  bool wait_first = link.no_delay;
  while (sent_total < event_length && rtr > 0) {
    const struct iovec rest = {const_cast<char*>(event_buf) + sent_total, event_length - sent_total};
    sys::IoResult written{};
    const int pass = BodyWritePass(link, &rest, 1, wait_first, rtr, written);
    if (pass == DL_ERR_WRITE) return DL_ERR_WRITE;
    if (pass != DL_OK) continue;
    if (written.failed()) {
      if (link.no_delay) {
        report_errno("SendEvent(): Writev(1) failed", written.err);
      } else {
        report_errno("SendEvent(): Writev(2) failed", written.err);
      }
      if (!SendRetryable(link, written.err)) return DL_ERR_WRITE;
      wait_first = true;
      continue;
    }
    sent_total += static_cast<uint32_t>(written.n);
    wait_first = link.no_delay;
  }
  return DL_OK;
}

// Hands the caller's elements to writev, at most kMaxIovPerWritev at a time,
// without copying a body byte. Each step gets a fresh budget; a step that
// spends it ends the whole write, and the caller reports the shortfall.
int LinkCore::WriteScatterSteps(DataLink& link, struct iovec* vector, int frs, uint64_t& sent_total, int& rtr) {
  for (int start = 0; start < frs; start += kMaxIovPerWritev) {
    rtr = link.retrs;
    const int step_frs = frs - start < kMaxIovPerWritev ? frs - start : kMaxIovPerWritev;
    uint64_t step_length = sum_lengths(vector + start, step_frs);
    int fr_left = step_frs;
    int indx = start;
    bool wait_first = link.no_delay;
    while (step_length != 0 && rtr > 0) {
      sys::IoResult written{};
      const int pass = BodyWritePass(link, vector + indx, fr_left, wait_first, rtr, written);
      if (pass == DL_ERR_WRITE) return DL_ERR_WRITE;
      if (pass != DL_OK) continue;
      if (written.failed()) {
        if (!link.no_delay) {
          report_errno("SendEvent(): Writev(4) failed", written.err);
          out_print("PARAMS: fr_left: %d  sockin: %d   vector+indx: %lx\n", fr_left, link.sockin,
                    reinterpret_cast<unsigned long>(vector + indx));
          std::fflush(nullptr);
        }
        if (!SendRetryable(link, written.err)) return DL_ERR_WRITE;
        wait_first = true;
        continue;
      }
      wait_first = link.no_delay;
      const uint64_t step_sent = static_cast<uint64_t>(written.n);
      sent_total += step_sent;
      step_length -= step_sent;
      if (step_length != 0) skip_sent_bytes(vector, indx, fr_left, step_sent);
    }
    if (step_length != 0) break;
  }
  return DL_OK;
}
