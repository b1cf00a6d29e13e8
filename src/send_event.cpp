// send_event.cpp - SendEvent: one unit of the event stream (event, slow-data
// block or image) from the caller's scatter list to the peer.
//
// Element 0 is the unit's header; its size alone names the record, and the
// record's length field says how many bytes the whole unit has. A link that
// converts gathers the unit into a buffer of its own and turns it to network
// order; otherwise the caller's elements go to writev as they are.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "DataLink.h"
#include "byte_reversal.h"
#include "link_core.h"
#include "messages.h"
#include "patterns.h"

using namespace datalink;

namespace {

// Kind codes of the header sizes. They appear in a diagnostic line, so the
// numbering (3 and 4 unused) is part of the output.
constexpr int kKindEvent = 0;
constexpr int kKindImage = 1;
constexpr int kKindImageExt = 2;
constexpr int kKindSlowData = 5;
constexpr int kKindEvent2024 = 6;

// The private copy of element 0. The caller's header is never written to.
union HeaderRecord {
  vrq5_eventheader event;
  vrq5_eventheader_2024 event_2024;
  vrq5_daq_slow_data_header slow;
  vrq5_image_head image;
  vrq5_image_ext_frame_head image_ext;
};

struct UnitHeader {
  HeaderRecord record;
  int hdsz;
  int kind;               // one of the kind codes above
  uint32_t event_length;  // a 64-bit length keeps its low 32 bits
  bool length_fits;       // false for a 64-bit length that is negative or beyond 32 bits
  const char* bytes() const { return reinterpret_cast<const char*>(&record); }
};

// The private copy holds the largest header record.
static_assert(sizeof(HeaderRecord) >= sizeof(vrq5_image_ext_frame_head));

// The size of element 0 alone names the header record.
bool known_header_size(size_t size) {
  switch (size) {
    case sizeof(vrq5_eventheader):
    case sizeof(vrq5_eventheader_2024):
    case sizeof(vrq5_daq_slow_data_header):
    case sizeof(vrq5_image_head):
    case sizeof(vrq5_image_ext_frame_head):
      return true;
    default:
      return false;
  }
}

// Copies a header of a known size, takes the unit's length and sets the
// data-format switch from the pattern, before any conversion reads the
// switch. The pattern is seen in the caller's order, so both orders of each
// pattern count; no pattern is refused.
void recognize_header(const struct iovec& element, UnitHeader& header) {
  const size_t size = element.iov_len;
  header.hdsz = static_cast<int>(size);
  header.length_fits = true;
  std::memcpy(&header.record, element.iov_base, size);
  switch (size) {
    case sizeof(vrq5_eventheader):
      header.kind = kKindEvent;
      header.event_length = header.record.event.event_length;
      break;
    case sizeof(vrq5_eventheader_2024): {
      const int64_t length = header.record.event_2024.event_length;
      header.kind = kKindEvent2024;
      header.event_length = static_cast<uint32_t>(length);
      header.length_fits = length >= 0 && static_cast<uint64_t>(length) <= UINT32_MAX;
      break;
    }
    case sizeof(vrq5_daq_slow_data_header):
      header.kind = kKindSlowData;
      header.event_length = header.record.slow.data_length;
      break;
    case sizeof(vrq5_image_head):
      header.kind = kKindImage;
      header.event_length = header.record.image.length;
      return;  // image headers name no generation
    case sizeof(vrq5_image_ext_frame_head):
      header.kind = kKindImageExt;
      header.event_length = static_cast<uint32_t>(header.record.image_ext.length);
      return;
    default:
      return;
  }
  uint32_t pattern;  // the first word of every event and slow-data header
  std::memcpy(&pattern, &header.record, sizeof pattern);
  patterns::apply_generation(patterns::sent_header_generation(pattern, size));
}

// The header alone in network order, for the acknowledged header phase. The
// event headers convert by their real size: a 36-byte record whose pattern
// announces the 2024 layout is still 36 bytes.
bool convert_header(UnitHeader& header, char* hdbuf) {
  switch (header.kind) {
    case kKindSlowData:
      if (vrq5_convert_slow_data_head(&header.record.slow, hdbuf) == 0) return true;
      out_print("Failed to convert slow data header\n");
      return false;
    case kKindImage:
      if (vrq5_convert_image_head(&header.record.image, hdbuf) == 0) return true;
      out_print("Failed to convert image header\n");
      return false;
    case kKindImageExt:
      if (vrq5_convert_image_ext_head(&header.record.image_ext, hdbuf) == 0) return true;
      out_print("Failed to convert image ext header\n");
      return false;
    default: {
      const int rc = vrq5::reversal::event_head_sized(&header.record, hdbuf, static_cast<size_t>(header.hdsz));
      if (rc == 0) return true;
      out_print("Failed to convert event header error: %d\n", rc);
      return false;
    }
  }
}

// Every length is checked before the first byte of the unit goes out, on both
// paths: a refusal after an acknowledged header would leave a receiver that
// answered 0 waiting for a body that never comes, and elements that do not add
// up to the header's length would make the receiver take bytes of the next
// unit as this one's body. The elements must fill the unit exactly, each and
// the whole shorter than 4 GiB, as the receiver counts in 32 bits. Only the
// iov_lens are read; nothing is copied.
int check_unit_lengths(const struct iovec* vec, int frsin, const UnitHeader& header) {
  if (!header.length_fits) return DL_ERR_VALUE;
  if (header.event_length < static_cast<uint32_t>(header.hdsz)) {
    out_print("Something wrong (event_length:%d)\n", static_cast<int>(header.event_length));
    return DL_ERR_VALUE;
  }
  long long total_cp_left = header.event_length - static_cast<uint32_t>(header.hdsz);
  for (int i = 1; i < frsin; ++i) {
    if (vec[i].iov_len > UINT32_MAX) return DL_ERR_VALUE;
    if (vec[i].iov_base == nullptr && vec[i].iov_len != 0) return DL_ERR_VALUE;
    const long long clen = total_cp_left - low32(vec[i].iov_len);
    if (clen < 0) {
      out_print("Incosistent event length i:%d total:%d clen:%d ev_len:%d\n", i, frsin, static_cast<int>(clen),
                static_cast<int>(header.event_length));
      return DL_ERR_VALUE;
    }
    total_cp_left = clen;
  }
  if (total_cp_left != 0) {
    // Too few bytes: i is one past the last element, clen the bytes missing.
    out_print("Incosistent event length i:%d total:%d clen:%d ev_len:%d\n", frsin, frsin,
              static_cast<int>(total_cp_left), static_cast<int>(header.event_length));
    return DL_ERR_VALUE;
  }
  return DL_OK;
}

// Converts the assembled unit in place by its real sizes. The results add up,
// so any failing step makes the sum non-zero.
int convert_unit(const UnitHeader& header, char* event_buf) {
  const size_t length = header.event_length;
  const size_t head = static_cast<size_t>(header.hdsz);
  switch (header.kind) {
    case kKindSlowData:
      return vrq5::reversal::slow_data_sized(event_buf, event_buf, length);
    case kKindImage:
      return vrq5_convert_image_head(event_buf, event_buf) +
             vrq5::reversal::words_sized(event_buf + head, event_buf + head, length - head);
    case kKindImageExt:
      return vrq5_convert_image_ext_head(event_buf, event_buf) +
             vrq5::reversal::words_sized(event_buf + head, event_buf + head, length - head);
    default:
      return vrq5::reversal::event_sized(event_buf, event_buf, head, length);
  }
}

// Behind every header the body of each kind is plain 32-bit words from the
// header's end (all header sizes are whole words). When every body element
// but the last holds whole words, the words fall alike in each element and
// in the unit, so each element can be turned while it is copied, piece by
// piece.
bool body_in_whole_words(const struct iovec* vec, int frsin) {
  int last = frsin - 1;
  while (last >= 1 && low32(vec[last].iov_len) == 0) --last;
  for (int i = 1; i < last; ++i)
    if (low32(vec[i].iov_len) % sizeof(uint32_t) != 0) return false;
  return true;
}

// Gathers header and body into one buffer of exactly event_length bytes and
// converts it to network order in place: the way for elements that cut the
// body's words, which only the whole unit puts back together.
int build_converted_unit(const struct iovec* vec, int frsin, const UnitHeader& header,
                         std::unique_ptr<char[]>& event_buf) {
  event_buf.reset(new (std::nothrow) char[header.event_length]);
  if (!event_buf) {
    out_print("Failed to alloc event_buffer\n");
    return DL_ERR_ALLOC;
  }
  std::memcpy(event_buf.get(), header.bytes(), static_cast<size_t>(header.hdsz));
  char* body_dst = event_buf.get() + header.hdsz;
  for (int i = 1; i < frsin; ++i) {
    const uint32_t length = low32(vec[i].iov_len);
    if (length == 0) continue;  // an empty element may have no base at all
    std::memcpy(body_dst, vec[i].iov_base, length);
    body_dst += length;
  }
  const int convert_errors = convert_unit(header, event_buf.get());
  if (convert_errors != 0) {
    out_print("Failed to convert event buffer error: %d  what: %d\n", convert_errors, header.kind);
    event_buf.reset();
    out_print("Here we are BAD swap err: %d\n", convert_errors);
    return DL_ERR_CONVERT;
  }
  return DL_OK;
}

// Bytes of a converted unit turned and written at a time when its elements
// allow the one-pass turn: a piece stays in the cache from the turn to the
// copy into the socket, where a whole unit of megabytes would not.
constexpr uint32_t kPieceBytes = 256 * 1024;

// Where the next body byte among the caller's elements is.
struct BodyCursor {
  const struct iovec* vec;
  int frsin;
  int index;
  size_t offset;
};

// Turns the next n body bytes into dst. Pieces end on whole words, and so
// does every body element but the last, so no word is cut.
void turn_body(BodyCursor& at, char* dst, size_t n) {
  while (n > 0 && at.index < at.frsin) {
    const struct iovec& element = at.vec[at.index];
    const size_t left = low32(element.iov_len) - at.offset;
    if (left == 0) {
      ++at.index;
      at.offset = 0;
      continue;
    }
    const size_t take = left < n ? left : n;
    vrq5::reversal::words_sized(static_cast<const char*>(element.iov_base) + at.offset, dst, take);
    at.offset += take;
    dst += take;
    n -= take;
  }
}

// Writes the unit from sent_total on (0, or behind an acknowledged header)
// piece by piece, each turned just before it goes out. Nothing can fail in
// the turn once the lengths and the header were checked, so every refusal
// still comes before the first byte. A budget that runs out ends the write
// short; the caller reports it.
int write_turned_pieces(DataLink& link, const struct iovec* vec, int frsin, const UnitHeader& header, const char* hdbuf,
                        char* piece, uint32_t& sent_total, int& rtr) {
  BodyCursor at{vec, frsin, 1, 0};
  while (sent_total < header.event_length) {
    const uint32_t left = header.event_length - sent_total;
    const uint32_t length = left < kPieceBytes ? left : kPieceBytes;
    uint32_t filled = 0;
    if (sent_total == 0) {
      filled = static_cast<uint32_t>(header.hdsz);
      std::memcpy(piece, hdbuf, filled);
    }
    turn_body(at, piece + filled, length - filled);
    uint32_t piece_sent = 0;
    const int rc = LinkCore::WriteEventBuffer(link, piece, length, piece_sent, rtr);
    sent_total += piece_sent;
    if (rc != DL_OK) return rc;
    if (piece_sent < length) break;
  }
  return DL_OK;
}

// The refusals of a unit that come before any conversion, in SendEvent's
// order: the header's size, its base, then (after the header is recognized)
// the lengths of a native unit's elements.
int accept_header(const struct iovec* vec, UnitHeader& header) {
  if (!known_header_size(vec[0].iov_len)) {
    out_print("hdsz: %d (%d) (%d)\n", static_cast<int>(vec[0].iov_len), static_cast<int>(sizeof(vrq5_eventheader)),
              static_cast<int>(sizeof(vrq5_eventheader)));
    out_line("SendEvent() unknown event header format");
    return DL_ERR_PROTOCOL;
  }
  if (vec[0].iov_base == nullptr) return DL_ERR_VALUE;
  recognize_header(vec[0], header);
  return DL_OK;
}

// How many elements from vec[0] make up the unit whose header is vec[0]: up
// to the one that completes its length (and the empty ones behind it, which
// no header can be), or the one that goes beyond it, or all that are left;
// check_unit_lengths then judges them.
int unit_elements(const struct iovec* vec, int frsin, const UnitHeader& header) {
  if (!header.length_fits || header.event_length < static_cast<uint32_t>(header.hdsz)) return 1;
  uint64_t missing = header.event_length - static_cast<uint32_t>(header.hdsz);
  int count = 1;
  while (missing > 0 && count < frsin) {
    const uint64_t length = vec[count++].iov_len;
    if (length > missing) break;
    missing -= length;
  }
  while (missing == 0 && count < frsin && vec[count].iov_len == 0) ++count;
  return count;
}

// The end of a write that fell short of total bytes: out of budget, or a
// transfer that really ended short.
int shortfall_status(uint64_t sent_total, uint64_t total, int rtr, int retrs) {
  if (rtr <= 0) {
    out_line("SendEvent():  Retries are exeeded:%d(%d)", rtr, retrs);
    return DL_ERR_RETRIES;
  }
  out_line("CHECK_FAIL: sent_total: %u!=event_length:%u", low32(sent_total), low32(total));
  return DL_ERR_SENT_LENGTH;
}

}  // namespace

int DataLink::SendEvent(struct iovec* vec, int frsin, int mode) {
  if (!connected) {
    err_line("SendEvent(): Unable to send event.  Not Connected.");
    return DL_ERR_NOT_CONNECTED;
  }
  // Without element 0 there is no header to read.
  if (vec == nullptr || frsin < 1) return DL_ERR_VALUE;
  int rtr = retrs;
  UnitHeader header{};
  if (int rc = accept_header(vec, header); rc != DL_OK) return rc;

  const bool swap = get_swap();
  std::unique_ptr<char[]> hdbuf;
  std::unique_ptr<char[]> event_buf;
  if (swap) {
    hdbuf.reset(new (std::nothrow) char[static_cast<size_t>(header.hdsz)]);
    if (!hdbuf) {
      out_print("Failed to allocate header\n");
      return DL_ERR_ALLOC;
    }
    if (!convert_header(header, hdbuf.get())) return DL_ERR_CONVERT;
  }
  if (int rc = check_unit_lengths(vec, frsin, header); rc != DL_OK) return rc;
  const bool in_pieces = swap && body_in_whole_words(vec, frsin);
  if (in_pieces && !state->send_piece) {
    state->send_piece.reset(new (std::nothrow) char[kPieceBytes]);
    if (!state->send_piece) {
      out_print("Failed to alloc event_buffer\n");
      return DL_ERR_ALLOC;
    }
  }
  if (swap && !in_pieces) {
    if (int rc = build_converted_unit(vec, frsin, header, event_buf); rc != DL_OK) return rc;
  }

  uint32_t sent_total = 0;
  struct iovec* vector = vec;
  int frs = frsin;
  if (mode != SendEvent_NOACK) {
    const char* wire_header = swap ? hdbuf.get() : header.bytes();
    int rc = LinkCore::SendHeaderPhase(*this, wire_header, header.hdsz, rtr);
    if (rc == DL_OK) rc = LinkCore::AwaitAcknowledgement(*this, rtr);
    if (rc != DL_OK) return rc;
    sent_total = static_cast<uint32_t>(header.hdsz);
    vector = vec + 1;
    frs = frsin - 1;
  }

  // The converting path writes from sent_total on, so an acknowledged header
  // is not sent twice.
  uint64_t scatter_sent = sent_total;
  int rc = DL_OK;
  if (in_pieces)
    rc = write_turned_pieces(*this, vec, frsin, header, hdbuf.get(), state->send_piece.get(), sent_total, rtr);
  else if (swap)
    rc = LinkCore::WriteEventBuffer(*this, event_buf.get(), header.event_length, sent_total, rtr);
  else
    rc = LinkCore::WriteScatterSteps(*this, vector, frs, scatter_sent, rtr);
  if (rc != DL_OK) return rc;
  if (!swap) sent_total = low32(scatter_sent);

  if (sent_total == header.event_length) return DL_OK;
  // The elements were checked to add up, so only a budget that ran out or a
  // transfer that really ended short gets here.
  return shortfall_status(sent_total, header.event_length, rtr, retrs);
}

// Acknowledged units wait for an answer each, and a converting link turns
// each unit into a send buffer of its own: both go unit by unit through
// SendEvent. Native units without acknowledgement are all checked first, and
// those before the first refusal go out together, in as few writev calls as
// the element step allows.
int DataLink::SendEvents(struct iovec* vec, int frsin, int mode, int* units_sent) {
  if (units_sent != nullptr) *units_sent = 0;
  if (!connected) {
    err_line("SendEvent(): Unable to send event.  Not Connected.");
    return DL_ERR_NOT_CONNECTED;
  }
  if (vec == nullptr || frsin < 1) return DL_ERR_VALUE;
  const bool one_by_one = mode != SendEvent_NOACK || get_swap();
  std::vector<uint64_t> unit_ends;  // for native batches: the bytes through each unit
  uint64_t batch_bytes = 0;
  int refusal = DL_OK;
  int start = 0;
  while (start < frsin) {
    UnitHeader header{};
    refusal = accept_header(vec + start, header);
    if (refusal != DL_OK) break;
    const int frs = unit_elements(vec + start, frsin - start, header);
    if (one_by_one) {
      refusal = SendEvent(vec + start, frs, mode);
      if (refusal != DL_OK) return refusal;
      if (units_sent != nullptr) ++*units_sent;
    } else {
      refusal = check_unit_lengths(vec + start, frs, header);
      if (refusal != DL_OK) break;
      batch_bytes += header.event_length;
      unit_ends.push_back(batch_bytes);
    }
    start += frs;
  }
  if (one_by_one || unit_ends.empty()) return refusal;

  // start is the refused unit's header, or frsin.
  int rtr = retrs;
  uint64_t sent_total = 0;
  const int rc = LinkCore::WriteScatterSteps(*this, vec, start, sent_total, rtr);
  if (units_sent != nullptr)
    *units_sent =
        static_cast<int>(std::upper_bound(unit_ends.begin(), unit_ends.end(), sent_total) - unit_ends.begin());
  if (rc != DL_OK) return rc;
  if (sent_total != batch_bytes) return shortfall_status(sent_total, batch_bytes, rtr, retrs);
  return refusal;
}
