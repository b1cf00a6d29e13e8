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
#include "messages.h"

using namespace datalink;

namespace {

// Reads a field of type T at offset, if the block holds it.
template <typename T>
bool field_at(const char* block, size_t block_size, size_t offset, T& value) {
  if (block == nullptr || block_size < offset || block_size - offset < sizeof(T)) return false;
  std::memcpy(&value, block + offset, sizeof(T));
  return true;
}

bool is_either(uint32_t value, uint32_t first, uint32_t second) { return value == first || value == second; }

bool reversed_event_pattern(uint32_t value) {
  return value == VRQ5_PATTERN_EVENT_2010_SWAPPED || value == VRQ5_PATTERN_EVENT_SWAPPED ||
         value == VRQ5_PATTERN_EVENT_2024_SWAPPED;
}

}  // namespace

int DataLink::SwapBuffer() {
  int convert_code = 0;
  return RepairBlock(convert_code);
}

// Each test reads the pattern afresh, so it sees the block as the previous
// conversion left it; a conversion turns its pattern around, and no later test
// takes the turned pattern, so at most one conversion runs.
int DataLink::RepairBlock(int& convert_code) {
  if (!get_swap()) return DL_OK;
  if (buffer == nullptr) return DL_ERR_NO_BUFFER;
  uint32_t pattern = 0;
  auto pattern_now = [&] { return field_at(buffer, size, 0, pattern) ? pattern : 0u; };

  if (get_swap() && reversed_event_pattern(pattern_now())) {
    const size_t header_size =
        pattern_now() == VRQ5_PATTERN_EVENT_2024_SWAPPED ? sizeof(vrq5_eventheader_2024) : sizeof(vrq5_eventheader);
    convert_code = vrq5::reversal::event_sized(buffer, buffer, header_size, size);
    if (convert_code != 0) {
      out_print("BAD_SWAP DataLink::SwapBuffer(void)\n");
      return DL_ERR_CONVERT;
    }
  }
  if (get_swap() && is_either(pattern_now(), VRQ5_PATTERN_SLOW, VRQ5_PATTERN_SLOW_SWAPPED)) {
    convert_code = vrq5::reversal::slow_data_sized(buffer, buffer, size);
    if (convert_code != 0) {
      out_print("BAD_SWAP DataLink::SwapBuffer(void) Data Slow\n");
      return DL_ERR_CONVERT;
    }
  }
  if (get_swap() && is_either(pattern_now(), VRQ5_PATTERN_SLOW_2024, VRQ5_PATTERN_SLOW_2024_SWAPPED)) {
    convert_code = vrq5::reversal::slow_data_sized(buffer, buffer, size);
    if (convert_code != 0) {
      out_print("BAD_SWAP DataLink::SwapBuffer(void) Data Slow 2024\n");
      return DL_ERR_CONVERT;
    }
  }
  return DL_OK;
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
  uint32_t pattern;
  if (!field_at(buffer, size, 0, pattern) || size < sizeof(vrq5_eventheader)) return nullptr;
  if (!is_either(pattern, VRQ5_PATTERN_EVENT_2010, VRQ5_PATTERN_EVENT)) return nullptr;
  return reinterpret_cast<vrq5_eventheader*>(buffer);
}

vrq5_eventheader_2024* DataLink::get_event_header_2024() {
  uint32_t pattern;
  if (!field_at(buffer, size, 0, pattern) || size < sizeof(vrq5_eventheader_2024)) return nullptr;
  if (pattern != VRQ5_PATTERN_EVENT_2024) return nullptr;
  return reinterpret_cast<vrq5_eventheader_2024*>(buffer);
}

vrq5_daq_slow_data_header* DataLink::get_slow_data_header() {
  uint32_t pattern;
  if (!field_at(buffer, size, 0, pattern) || size < sizeof(vrq5_daq_slow_data_header)) return nullptr;
  if (!is_either(pattern, VRQ5_PATTERN_SLOW, VRQ5_PATTERN_SLOW_2024)) return nullptr;
  return reinterpret_cast<vrq5_daq_slow_data_header*>(buffer);
}
