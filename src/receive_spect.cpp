// receive_spect.cpp - reading one spectrum into the caller's memory: the
// 56-byte intro found by its start pattern, then the data it announces.
#include <cstring>

#include "DataLink.h"
#include "link_limits.h"
#include "messages.h"

using namespace datalink;

int DataLink::ReceiveSpectHeader(vrq5_spect_intro* im_fr_hd) {
  if (!connected) {
    err_line("ReceiveImage():: Not connected.  No action taken.");
    return DL_ERR_NOT_CONNECTED;
  }
  if (receive_lock) {
    err_line("SpectImage(): Receive lock set.  Waiting for space in Ring Buffer.");
    return DL_ERR_RECEIVE_LOCK;
  }
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
