// repair_accessors.cpp - the received block after ReceiveEvent: turning it
// into host byte order, copying it into the collector's ring buffer, and
// reading its header fields.
//
// The block may be shorter than the layout an accessor expects; every read
// is checked against size, and a block too short for it is reported like a
// missing block.
#include <cstdint>
#include <cstring>

#include "DataLink.h"
#include "byte_reversal.h"
#include "link_core.h"
#include "messages.h"
#include "patterns.h"

using namespace datalink;

namespace {

// Reads a field of type T at offset, if the block holds it.
template <typename T>
bool field_at(const char* block, size_t block_size, size_t offset, T& value) {
  if (block == nullptr || block_size < offset || block_size - offset < sizeof(T)) return false;
  std::memcpy(&value, block + offset, sizeof(T));
  return true;
}

// The record a host-order pattern opens, if the block holds it whole.
bool holds_record(const char* block, size_t block_size, patterns::HeaderKind kind) {
  uint32_t pattern;
  if (!field_at(block, block_size, 0, pattern)) return false;
  const patterns::Pattern* row = patterns::forward(pattern);
  return row != nullptr && row->kind == kind && block_size >= row->header_bytes;
}

}  // namespace

// An event block converts only from its reversed pattern; a slow-data block
// from either order. The conversion turns the pattern around, so a block is
// converted once.
int DataLink::SwapBuffer() {
  state->last_swap_code = 0;
  if (!get_swap()) return DL_OK;
  if (buffer == nullptr) return DL_ERR_NO_BUFFER;
  uint32_t pattern = 0;
  const patterns::Match found = patterns::find(field_at(buffer, size, 0, pattern) ? pattern : 0u);
  if (found.row == nullptr) return DL_OK;
  int code = 0;
  const char* failure = nullptr;
  if (found.row->kind != patterns::HeaderKind::Slow) {
    if (!found.reversed) return DL_OK;
    code = vrq5::reversal::event_sized(buffer, buffer, found.row->header_bytes, size);
    failure = "BAD_SWAP DataLink::SwapBuffer(void)\n";
  } else {
    code = vrq5::reversal::slow_data_sized(buffer, buffer, size);
    failure = found.row->generation == patterns::Generation::Gen2024
                  ? "BAD_SWAP DataLink::SwapBuffer(void) Data Slow 2024\n"
                  : "BAD_SWAP DataLink::SwapBuffer(void) Data Slow\n";
  }
  state->last_swap_code = code;
  if (code == 0) return DL_OK;
  out_print("%s", failure);
  return DL_ERR_CONVERT;
}

// Write takes a 32-bit length: a block of 4 GiB or more is refused whole
// rather than stored cut short.
int DataLink::WriteBlockToRingBuffer(RNG_RingBuffer& rb) {
  if (buffer == nullptr) return DL_ERR_NO_BUFFER;
  if (size > UINT32_MAX) return DL_ERR_RING_WRITE;
  const unsigned int length = static_cast<unsigned int>(size);
  const int written = rb.Write(buffer, length);
  return static_cast<unsigned int>(written) == length ? DL_OK : DL_ERR_RING_WRITE;
}

// The three field accessors follow the process-wide data-format switch, not
// the block's pattern: ReceiveEvent set the switch from that pattern.
int DataLink::get_event_number() {
  if (owncntr) return eventn;
  if (is_data_format_2024()) {
    uint64_t number;
    if (!field_at(buffer, size, offsetof(vrq5_eventheader_2024, event_number), number)) return -1;
    return static_cast<int>(static_cast<uint32_t>(number));
  }
  uint32_t number;
  if (!field_at(buffer, size, offsetof(vrq5_eventheader, event_number), number)) return -1;
  return static_cast<int>(number);
}

VRQ5_EVTYPE DataLink::get_event_type() {
  VRQ5_EVTYPE type = VRQ5_EV_EVMAX;
  const size_t offset =
      is_data_format_2024() ? offsetof(vrq5_eventheader_2024, event_type) : offsetof(vrq5_eventheader, event_type);
  return field_at(buffer, size, offset, type) ? type : VRQ5_EV_EVMAX;
}

unsigned int DataLink::get_event_length() {
  if (is_data_format_2024()) {
    int64_t length;
    if (!field_at(buffer, size, offsetof(vrq5_eventheader_2024, event_length), length)) return 0;
    return static_cast<unsigned int>(static_cast<uint64_t>(length));
  }
  uint32_t length;
  if (!field_at(buffer, size, offsetof(vrq5_eventheader, event_length), length)) return 0;
  return length;
}

// The header accessors take only host-order patterns: a block still in the
// producer's order is no record of this host.
vrq5_eventheader* DataLink::get_event_header() {
  if (!holds_record(buffer, size, patterns::HeaderKind::Event)) return nullptr;
  return reinterpret_cast<vrq5_eventheader*>(buffer);
}

vrq5_eventheader_2024* DataLink::get_event_header_2024() {
  if (!holds_record(buffer, size, patterns::HeaderKind::Event2024)) return nullptr;
  return reinterpret_cast<vrq5_eventheader_2024*>(buffer);
}

vrq5_daq_slow_data_header* DataLink::get_slow_data_header() {
  if (!holds_record(buffer, size, patterns::HeaderKind::Slow)) return nullptr;
  return reinterpret_cast<vrq5_daq_slow_data_header*>(buffer);
}
