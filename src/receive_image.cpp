// receive_image.cpp - reading one camera image or one spectrum into the
// caller's memory: the intro (108 bytes for an image, 56 for a spectrum)
// found by a byte-wise search for its start pattern, then the data it
// announces. The two paths share the search, the read loop and the data step;
// where they differ (messages, how EAGAIN counts, the conversion) the
// difference is passed in.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "DataLink.h"
#include "link_internal.h"
#include "link_limits.h"
#include "messages.h"
#include "patterns.h"

using namespace datalink;

// One byte per step, each after its own wait, so that no byte behind the
// pattern is taken. A failed read is fatal here even with EAGAIN: the wait
// has just said the socket is readable.
int DataLink::SeekIntroPattern(const char* read_failed, const char* too_many_empty) {
  unsigned char window[kPatternBytes] = {0, 0, 0, 0};
  int empty_reads = 0;
  // Pattern bytes an event receive kept belong to a stream position this
  // search moves past; the next event receive starts a fresh window.
  std::memset(pending_pattern, 0, sizeof pending_pattern);
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
    // Images and spectra start with one of the event start patterns.
    if (patterns::opens_intro(get_swap() ? patterns::reverse_word(value) : value)) return DL_OK;
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

// ---- Images ----

int DataLink::ReceiveImageHeader(vrq5_image_ext_intro* im_fr_hd) {
  if (int refused = receive_guard(connected, receive_lock, "ReceiveImage():: Not connected.  No action taken.",
                                  "ReceiveImage(): Receive lock set.  Waiting for space in Ring Buffer."))
    return refused;
  if (im_fr_hd == nullptr) return DL_ERR_VALUE;
  int status = SeekIntroPattern("ReceiveImage(): read pattern 2 failed",
                                "ReceiveImage(): read pattern too many empty messages, consider TCP connection broken");
  if (status != DL_OK) return status;

  // The pattern is consumed by the search and not kept: it reads 0 afterwards.
  std::memset(im_fr_hd, 0, sizeof *im_fr_hd);
  // EAGAIN here is retried without counting; a failed wait passes its status on.
  const IntroSpanRules rules{false, false, kEmptyReadLimitHeader,
                             "ReceiveImage(): read heaser too many empty messages, consider TCP connection broken"};
  status = ReadIntroSpan(reinterpret_cast<char*>(im_fr_hd), sizeof im_fr_hd->intro.pattern, sizeof *im_fr_hd, rules);
  if (status != DL_OK) return status;
  if (!get_swap()) return DL_OK;

  vrq5_swap4(reinterpret_cast<int*>(&im_fr_hd->intro.length), reinterpret_cast<int*>(&im_fr_hd->intro.length), 1);
  // All 25 words of the frame head are reversed, not just its first two, so
  // the caller gets every field in host order. The data stay as sent.
  if (vrq5_convert_image_ext_head(&im_fr_hd->head, &im_fr_hd->head) != 0) {
    out_print("BAD_SWAP vrq5_convert_image_head\n");
    return DL_ERR_CONVERT;
  }
  return DL_OK;
}

int DataLink::ReceiveImageData(vrq5_image_ext_intro* im_fr_hd, char** buf, int sz) {
  if (im_fr_hd == nullptr) return DL_ERR_VALUE;
  // EAGAIN during the data counts as an empty read; a failed wait is a read failure.
  const IntroSpanRules rules{true, true, kEmptyReadLimitBody,
                             "ReceiveImage(): read image too many empty messages, consider TCP connection broken"};
  return ReceiveIntroData(im_fr_hd->intro.length, sizeof *im_fr_hd, buf, sz, rules);
}

int DataLink::ReceiveImage(vrq5_image_ext_intro* im_fr_hd, char** buf, int sz) {
  int status = ReceiveImageHeader(im_fr_hd);
  if (status != DL_OK) return status;
  return ReceiveImageData(im_fr_hd, buf, sz);
}

// ---- Spectra ----

int DataLink::ReceiveSpectHeader(vrq5_spect_intro* im_fr_hd) {
  if (int refused = receive_guard(connected, receive_lock, "ReceiveImage():: Not connected.  No action taken.",
                                  "SpectImage(): Receive lock set.  Waiting for space in Ring Buffer."))
    return refused;
  if (im_fr_hd == nullptr) return DL_ERR_VALUE;
  int status = SeekIntroPattern("SpectImage(): read pattern 2 failed",
                                "SpectImage(): read pattern too many empty messages, consider TCP connection broken");
  if (status != DL_OK) return status;

  // The pattern is consumed by the search and not kept: it reads 0 afterwards,
  // also while the intro is converted.
  std::memset(im_fr_hd, 0, sizeof *im_fr_hd);
  // Unlike the image intro, EAGAIN here counts as an empty read.
  const IntroSpanRules rules{true, false, kEmptyReadLimitHeader,
                             "SpectSpect(): read heaser too many empty messages, consider TCP connection broken"};
  status = ReadIntroSpan(reinterpret_cast<char*>(im_fr_hd), sizeof im_fr_hd->intro.pattern, sizeof *im_fr_hd, rules);
  if (status != DL_OK) return status;
  if (!get_swap()) return DL_OK;

  // One call reverses the whole intro, length included.
  if (vrq5_convert_spect_head(im_fr_hd, im_fr_hd) != 0) {
    out_print("BAD_SWAP vrq5_convert_spect_head\n");
    return DL_ERR_CONVERT;
  }
  return DL_OK;
}

int DataLink::ReceiveSpectData(vrq5_spect_intro* im_fr_hd, char** buf, int sz) {
  if (im_fr_hd == nullptr) return DL_ERR_VALUE;
  // Unlike the image data, EAGAIN here is retried without counting.
  const IntroSpanRules rules{false, true, kEmptyReadLimitBody,
                             "ReceiveSpectData(): read image too many empty messages, consider TCP connection broken"};
  return ReceiveIntroData(im_fr_hd->intro.length, sizeof *im_fr_hd, buf, sz, rules);
}

int DataLink::ReceiveSpect(vrq5_spect_intro* im_fr_hd, char** buf, int sz) {
  int status = ReceiveSpectHeader(im_fr_hd);
  if (status != DL_OK) return status;
  return ReceiveSpectData(im_fr_hd, buf, sz);
}
