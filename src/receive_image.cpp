// receive_image.cpp - reading one camera image into the caller's memory: the
// 108-byte intro found by its start pattern, then the data it announces.
#include <cstring>

#include "DataLink.h"
#include "link_limits.h"
#include "messages.h"

using namespace datalink;

int DataLink::ReceiveImageHeader(vrq5_image_ext_intro* im_fr_hd) {
  if (!connected) {
    err_line("ReceiveImage():: Not connected.  No action taken.");
    return DL_ERR_NOT_CONNECTED;
  }
  if (receive_lock) {
    err_line("ReceiveImage(): Receive lock set.  Waiting for space in Ring Buffer.");
    return DL_ERR_RECEIVE_LOCK;
  }
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
