// receive_intro.cpp - the loops shared by the image and the spectrum
// receivers: the byte-wise search for a start pattern, the read of a span of
// bytes under an empty-read limit, and the data step behind an intro.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "DataLink.h"
#include "link_limits.h"
#include "messages.h"

using namespace datalink;

namespace {

// Images and spectra start with one of the event start patterns; the
// slow-data patterns and the byte-reversed forms open no intro.
bool is_intro_pattern(uint32_t value) {
  return value == VRQ5_PATTERN_EVENT_2010 || value == VRQ5_PATTERN_EVENT || value == VRQ5_PATTERN_EVENT_2024;
}

}  // namespace

// One byte per step, each after its own wait, so that no byte behind the
// pattern is taken. A failed read is fatal here even with EAGAIN: the wait
// has just said the socket is readable.
int DataLink::SeekIntroPattern(const char* read_failed, const char* too_many_empty) {
  unsigned char window[kPatternBytes] = {0, 0, 0, 0};
  int empty_reads = 0;
  // Pattern bytes an event receive kept belong to a stream position this
  // search moves past.
  pending_pattern_bytes = 0;
  for (;;) {
    std::memmove(window, window + 1, sizeof window - 1);
    window[kPatternBytes - 1] = 0;
    int ready = IfReady(RECEIVER_READ, -1, -1, -1);
    if (ready != DL_OK) return ready;
    long n = ReadLink(&window[kPatternBytes - 1], 1);
    if (n < 0) {
      sys_error(read_failed);
      return DL_ERR_READ;
    }
    empty_reads = n == 0 ? empty_reads + 1 : 0;
    // The window keeps arrival order; only the compared value is reversed.
    uint32_t value;
    std::memcpy(&value, window, sizeof value);
    uint32_t compared = value;
    if (get_swap()) vrq5_swap4(reinterpret_cast<int*>(&value), reinterpret_cast<int*>(&compared), 1);
    if (is_intro_pattern(compared)) return DL_OK;
    if (empty_reads >= kEmptyReadLimitHeader) {
      sys_error(too_many_empty);
      return DL_ERR_READ;
    }
  }
}

// Each read asks only for the bytes still missing, so nothing of the next
// record is consumed.
int DataLink::ReadIntroSpan(char* dst, long set, long end, const IntroSpanRules& rules) {
  int empty_reads = 0;
  while (set < end && empty_reads < rules.empty_read_limit) {
    int ready = IfReady(RECEIVER_READ, -1, -1, -1);
    if (ready != DL_OK) return rules.wait_failure_is_read ? DL_ERR_READ : ready;
    long n = ReadLink(dst + set, static_cast<size_t>(end - set));
    if (n < 0) {
      if (errno != EAGAIN) return DL_ERR_READ;
      if (rules.eagain_is_empty) ++empty_reads;
      continue;
    }
    set += n;
    empty_reads = n == 0 ? empty_reads + 1 : 0;
  }
  if (empty_reads >= rules.empty_read_limit) {
    sys_error(rules.too_many_empty);
    return DL_ERR_READ;
  }
  return DL_OK;
}

// The refusals come before the own counter and the allocation, so a refused
// call changes nothing. A length below the intro is no record at all (19); a
// data size beyond any int cannot fit the caller's buffer (25).
int DataLink::ReceiveIntroData(uint32_t length, long intro_size, char** buf, int sz, const IntroSpanRules& rules) {
  if (buf == nullptr) return DL_ERR_VALUE;
  if (static_cast<long>(length) < intro_size) return DL_ERR_VALUE;
  const long siz = static_cast<long>(length) - intro_size;
  if (siz > sz) return DL_ERR_BUFFER_SIZE;
  if (owncntr) eventn = static_cast<int>(static_cast<unsigned int>(eventn) + 1u);  // wraps, no UB
  // From here the caller owns the buffer, also when a read fails.
  if (*buf == nullptr) *buf = new char[static_cast<size_t>(siz)];
  return ReadIntroSpan(*buf, 0, siz, rules);
}
