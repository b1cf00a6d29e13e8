// receive_image.cpp - reading one camera image or one spectrum into the
// caller's memory: the intro (108 bytes for an image, 56 for a spectrum)
// found by a byte-wise search for its start pattern, then the data it
// announces. One path serves both; what sets the two kinds apart (the intro
// size, the messages, how each read phase counts EAGAIN and a failed wait,
// the conversion) is data in one description record per kind.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "DataLink.h"
#include "link_core.h"
#include "link_limits.h"
#include "messages.h"
#include "patterns.h"

using namespace datalink;

// What one read loop does with a read that fails with EAGAIN and with a
// failed readiness wait; the phases differ here on purpose.
enum class OnEagain { CountAsEmpty, RetryUncounted };
enum class OnFailedWait { ReadError, PassStatusOn };

struct IntroSpanRules {
  OnEagain eagain;
  OnFailedWait failed_wait;
  int empty_read_limit;        // consecutive empty reads taken as a broken link
  const char* too_many_empty;  // reported when that limit is reached
};

struct IntroKind {
  size_t intro_bytes;  // the whole intro, its pattern included
  const char* not_connected;
  const char* receive_locked;
  const char* pattern_read_failed;
  const char* pattern_too_many_empty;
  IntroSpanRules intro_rules;  // the intro behind its pattern
  IntroSpanRules data_rules;   // the data behind the intro
  // Turns an intro read in the peer's order into host order; 0 on success,
  // else convert_failed goes to standard output.
  int (*to_host)(void* intro);
  const char* convert_failed;
};

namespace {

// Both intros open with {pattern, length}; the data step reads the length
// through this offset.
static_assert(offsetof(vrq5_image_ext_intro, intro.length) == offsetof(vrq5_spect_intro, intro.length));
constexpr size_t kIntroLengthOffset = offsetof(vrq5_image_ext_intro, intro.length);

// The length word first, then all 25 words of the frame head, not just its
// first two, so the caller gets every field in host order. The data stay as
// sent.
int image_to_host(void* intro) {
  auto* image = static_cast<vrq5_image_ext_intro*>(intro);
  vrq5_swap4(reinterpret_cast<int*>(&image->intro.length), reinterpret_cast<int*>(&image->intro.length), 1);
  return vrq5_convert_image_ext_head(&image->head, &image->head);
}

// One call reverses the whole intro, length included.
int spect_to_host(void* intro) { return vrq5_convert_spect_head(intro, intro); }

// The image intro retries EAGAIN uncounted and passes a failed wait's status
// on; its data count EAGAIN and take a failed wait as a read failure. The
// spectrum intro counts EAGAIN; its data retry it uncounted.
const IntroKind kImage{
    sizeof(vrq5_image_ext_intro),
    "ReceiveImage():: Not connected.  No action taken.",
    "ReceiveImage(): Receive lock set.  Waiting for space in Ring Buffer.",
    "ReceiveImage(): read pattern 2 failed",
    "ReceiveImage(): read pattern too many empty messages, consider TCP connection broken",
    {OnEagain::RetryUncounted, OnFailedWait::PassStatusOn, kEmptyReadLimitHeader,
     "ReceiveImage(): read heaser too many empty messages, consider TCP connection broken"},
    {OnEagain::CountAsEmpty, OnFailedWait::ReadError, kEmptyReadLimitBody,
     "ReceiveImage(): read image too many empty messages, consider TCP connection broken"},
    image_to_host,
    "BAD_SWAP vrq5_convert_image_head\n",
};

const IntroKind kSpect{
    sizeof(vrq5_spect_intro),
    "ReceiveImage():: Not connected.  No action taken.",
    "SpectImage(): Receive lock set.  Waiting for space in Ring Buffer.",
    "SpectImage(): read pattern 2 failed",
    "SpectImage(): read pattern too many empty messages, consider TCP connection broken",
    {OnEagain::CountAsEmpty, OnFailedWait::PassStatusOn, kEmptyReadLimitHeader,
     "SpectSpect(): read heaser too many empty messages, consider TCP connection broken"},
    {OnEagain::RetryUncounted, OnFailedWait::ReadError, kEmptyReadLimitBody,
     "ReceiveSpectData(): read image too many empty messages, consider TCP connection broken"},
    spect_to_host,
    "BAD_SWAP vrq5_convert_spect_head\n",
};

}  // namespace

// One byte per step, so that no byte behind the pattern is consumed; the
// bytes come from the read-ahead, and a step waits only when none is there.
// A failed read is fatal here even with EAGAIN: the wait has just said the
// socket is readable, or the try brought no byte.
int LinkCore::SeekIntroPattern(DataLink& link, const IntroKind& kind) {
  unsigned char window[kPatternBytes] = {0, 0, 0, 0};
  int empty_reads = 0;
  // Pattern bytes an event receive kept belong to a stream position this
  // search moves past; the next event receive starts a fresh window.
  std::memset(link.state->pending_pattern, 0, sizeof link.state->pending_pattern);
  link.state->pending_pattern_bytes = 0;
  for (;;) {
    std::memmove(window, window + 1, sizeof window - 1);
    window[kPatternBytes - 1] = 0;
    sys::IoResult got{};
    const int ready = ReadWhenReady(link, &window[kPatternBytes - 1], 1, got);
    if (ready != DL_OK) return ready;
    if (got.failed()) {
      sys_error(kind.pattern_read_failed);
      return DL_ERR_READ;
    }
    empty_reads = got.n == 0 ? empty_reads + 1 : 0;
    // The window keeps arrival order; only the compared value is reversed.
    uint32_t value;
    std::memcpy(&value, window, sizeof value);
    if (patterns::opens_intro(link.get_swap() ? patterns::reverse_word(value) : value)) return DL_OK;
    if (empty_reads >= kEmptyReadLimitHeader) {
      sys_error(kind.pattern_too_many_empty);
      return DL_ERR_READ;
    }
  }
}

// Each read asks only for the bytes still missing, so nothing of the next
// record is consumed (what one receive brings beyond them stays read ahead),
// and waits only when nothing is there.
int LinkCore::ReadIntroSpan(DataLink& link, char* dst, size_t from, size_t end, const IntroSpanRules& rules) {
  int empty_reads = 0;
  while (from < end && empty_reads < rules.empty_read_limit) {
    sys::IoResult got{};
    const int ready = ReadWhenReady(link, dst + from, end - from, got);
    if (ready != DL_OK) return rules.failed_wait == OnFailedWait::ReadError ? DL_ERR_READ : ready;
    if (got.failed()) {
      if (got.err != EAGAIN) return DL_ERR_READ;
      if (rules.eagain == OnEagain::CountAsEmpty) ++empty_reads;
      continue;
    }
    from += static_cast<size_t>(got.n);
    empty_reads = got.n == 0 ? empty_reads + 1 : 0;
  }
  if (empty_reads >= rules.empty_read_limit) {
    sys_error(rules.too_many_empty);
    return DL_ERR_READ;
  }
  return DL_OK;
}

// The pattern is consumed by the search and not kept: it reads 0 afterwards,
// also after a conversion.
int LinkCore::ReceiveIntro(DataLink& link, const IntroKind& kind, void* intro) {
  if (int refused = receive_guard(link.connected, link.receive_lock, kind.not_connected, kind.receive_locked))
    return refused;
  if (intro == nullptr) return DL_ERR_VALUE;
  int status = SeekIntroPattern(link, kind);
  if (status != DL_OK) return status;
  std::memset(intro, 0, kind.intro_bytes);
  status = ReadIntroSpan(link, static_cast<char*>(intro), kPatternBytes, kind.intro_bytes, kind.intro_rules);
  if (status != DL_OK) return status;
  if (!link.get_swap()) return DL_OK;
  if (kind.to_host(intro) != 0) {
    out_print("%s", kind.convert_failed);
    return DL_ERR_CONVERT;
  }
  return DL_OK;
}

// The refusals come before the own counter and the allocation, so a refused
// call changes nothing. A length below the intro is no record at all (19); a
// data size beyond any int cannot fit the caller's buffer (25).
int LinkCore::ReceiveIntroData(DataLink& link, const IntroKind& kind, const void* intro, char** buf, int sz) {
  if (intro == nullptr) return DL_ERR_VALUE;
  if (buf == nullptr) return DL_ERR_VALUE;
  uint32_t length;
  std::memcpy(&length, static_cast<const char*>(intro) + kIntroLengthOffset, sizeof length);
  if (length < kind.intro_bytes) return DL_ERR_VALUE;
  const size_t data_bytes = length - kind.intro_bytes;
  if (sz < 0 || data_bytes > static_cast<size_t>(sz)) return DL_ERR_BUFFER_SIZE;
  if (link.owncntr) link.eventn = static_cast<int>(static_cast<unsigned int>(link.eventn) + 1u);  // wraps, no UB
  // From here the caller owns the buffer, also when a read fails.
  if (*buf == nullptr) *buf = new char[data_bytes];
  return ReadIntroSpan(link, *buf, 0, data_bytes, kind.data_rules);
}

int DataLink::ReceiveImageHeader(vrq5_image_ext_intro* im_fr_hd) {
  return LinkCore::ReceiveIntro(*this, kImage, im_fr_hd);
}

int DataLink::ReceiveImageData(vrq5_image_ext_intro* im_fr_hd, char** buf, int sz) {
  return LinkCore::ReceiveIntroData(*this, kImage, im_fr_hd, buf, sz);
}

int DataLink::ReceiveImage(vrq5_image_ext_intro* im_fr_hd, char** buf, int sz) {
  int status = ReceiveImageHeader(im_fr_hd);
  if (status != DL_OK) return status;
  return ReceiveImageData(im_fr_hd, buf, sz);
}

int DataLink::ReceiveSpectHeader(vrq5_spect_intro* im_fr_hd) { return LinkCore::ReceiveIntro(*this, kSpect, im_fr_hd); }

int DataLink::ReceiveSpectData(vrq5_spect_intro* im_fr_hd, char** buf, int sz) {
  return LinkCore::ReceiveIntroData(*this, kSpect, im_fr_hd, buf, sz);
}

int DataLink::ReceiveSpect(vrq5_spect_intro* im_fr_hd, char** buf, int sz) {
  int status = ReceiveSpectHeader(im_fr_hd);
  if (status != DL_OK) return status;
  return ReceiveSpectData(im_fr_hd, buf, sz);
}
