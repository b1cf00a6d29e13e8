// vrq5evutl.cpp - byte-order conversion of the event stream's records and
// bodies, and the process-wide data-format switch.
//
// Every conversion reverses bytes: each 32-bit word on its own, and the two
// 64-bit fields of the 2024 event header as whole 64-bit units. Reversal is
// its own inverse, so a receiver that makes the same layout decisions as the
// sender restores the sender's bytes exactly. Each function checks everything
// it needs before it writes a byte, so a refused call leaves dst untouched.
#include "VRQ5evutl.h"

#include <atomic>
#include <cstring>

#include "byte_reversal.h"

namespace {

using namespace vrq5::reversal;

constexpr size_t kImageHeadBytes = sizeof(vrq5_image_head);
constexpr size_t kImageExtHeadBytes = sizeof(vrq5_image_ext_frame_head);
constexpr size_t kSpectIntroBytes = sizeof(vrq5_spect_intro);
// The link counts unit lengths in 32 bits, so a header announcing more than
// that cannot describe a unit that was really sent or received.
constexpr uint64_t kMaxUnitBytes = UINT32_MAX;

// Both image heads end with their length word, so a body's length always
// sits in the four bytes just before the body.
static_assert(offsetof(vrq5_image_head, length) + kWordBytes == kImageHeadBytes, "image head length");
static_assert(offsetof(vrq5_image_ext_frame_head, length) + kWordBytes == kImageExtHeadBytes, "frame head length");

bool is_2024_event_pattern(uint32_t pattern) {
  return pattern == VRQ5_PATTERN_EVENT_2024 || pattern == VRQ5_PATTERN_EVENT_2024_SWAPPED;
}

// True for the five patterns as the sending host itself writes them; their
// reversed forms never coincide with any of them.
bool is_host_order_pattern(uint32_t pattern) {
  switch (pattern) {
    case VRQ5_PATTERN_EVENT:
    case VRQ5_PATTERN_EVENT_2010:
    case VRQ5_PATTERN_EVENT_2024:
    case VRQ5_PATTERN_SLOW:
    case VRQ5_PATTERN_SLOW_2024:
      return true;
    default:
      return false;
  }
}

size_t event_header_bytes_for(uint32_t pattern) {
  return is_2024_event_pattern(pattern) ? kEventHeader2024Bytes : kEventHeaderBytes;
}

// The unit length an event header announces, read in host order or in the
// other order. A 2024 length that is negative or too large is refused.
int event_length_of(const Byte* header, size_t header_bytes, bool host_order, uint64_t* length) {
  if (header_bytes == kEventHeaderBytes) {
    const uint32_t v = load32(header + offsetof(vrq5_eventheader, event_length));
    *length = host_order ? v : __builtin_bswap32(v);
    return VRQ5_CONVERT_OK;
  }
  uint64_t raw = load64(header + offsetof(vrq5_eventheader_2024, event_length));
  if (!host_order) raw = __builtin_bswap64(raw);
  int64_t v;
  std::memcpy(&v, &raw, sizeof v);
  if (v < 0 || static_cast<uint64_t>(v) > kMaxUnitBytes) return VRQ5_CONVERT_BAD_LENGTH;
  *length = static_cast<uint64_t>(v);
  return VRQ5_CONVERT_OK;
}

const Byte* in(const void* p) { return static_cast<const Byte*>(p); }
Byte* out(void* p) { return static_cast<Byte*>(p); }

// Texts handed out as char* for the callers' sake; nobody may write to them.
char kTextOk[] = "no error";
char kTextNull[] = "null source or destination";
char kTextShort[] = "length smaller than its header";
char kTextBadHeader[] = "header does not fit the call (size, sub-block head or pattern)";
char kTextBadLength[] = "negative or impossible length";
char kTextBadType[] = "image sub-block type other than 13 and 27";
char kTextUnknown[] = "unknown conversion error";

// One generation in force at a time, so "2010" and "2024" can never both hold.
enum Generation : int { kGenerationOlder, kGeneration2010, kGeneration2024 };
std::atomic<int> g_generation{kGenerationOlder};

}  // namespace

int vrq5_convert_event_head(void* src, void* dst) {
  if (src == nullptr || dst == nullptr) return VRQ5_CONVERT_NULL;
  event_header(in(src), out(dst), event_header_bytes_for(load32(in(src))));
  return VRQ5_CONVERT_OK;
}

int vrq5_convert_slow_data_head(void* src, void* dst) {
  if (src == nullptr || dst == nullptr) return VRQ5_CONVERT_NULL;
  reverse_words(in(src), out(dst), kSlowHeaderBytes);
  return VRQ5_CONVERT_OK;
}

int vrq5_convert_image_head(void* src, void* dst) {
  if (src == nullptr || dst == nullptr) return VRQ5_CONVERT_NULL;
  reverse_words(in(src), out(dst), kImageHeadBytes);
  return VRQ5_CONVERT_OK;
}

int vrq5_convert_image_ext_head(void* src, void* dst) {
  if (src == nullptr || dst == nullptr) return VRQ5_CONVERT_NULL;
  reverse_words(in(src), out(dst), kImageExtHeadBytes);
  return VRQ5_CONVERT_OK;
}

int vrq5_convert_spect_head(void* src, void* dst) {
  if (src == nullptr || dst == nullptr) return VRQ5_CONVERT_NULL;
  reverse_words(in(src), out(dst), kSpectIntroBytes);
  return VRQ5_CONVERT_OK;
}

int vrq5_convert_event_hton(void* src, void* dst, int len) {
  if (src == nullptr || dst == nullptr) return VRQ5_CONVERT_NULL;
  const size_t header_bytes = event_header_bytes_for(load32(in(src)));
  uint64_t length = 0;
  if (len == -1) {
    // The caller's own record: its length is in host order whatever the
    // pattern looks like.
    const int rc = event_length_of(in(src), header_bytes, true, &length);
    if (rc != VRQ5_CONVERT_OK) return rc;
  } else if (len < 0) {
    return VRQ5_CONVERT_BAD_LENGTH;
  } else {
    length = static_cast<uint64_t>(len);
  }
  return event_unit(in(src), out(dst), header_bytes, length);
}

int vrq5_convert_event(void* src, void* dst) {
  if (src == nullptr || dst == nullptr) return VRQ5_CONVERT_NULL;
  const uint32_t pattern = load32(in(src));
  const size_t header_bytes = event_header_bytes_for(pattern);
  uint64_t length = 0;
  const int rc = event_length_of(in(src), header_bytes, is_host_order_pattern(pattern), &length);
  if (rc != VRQ5_CONVERT_OK) return rc;
  return event_unit(in(src), out(dst), header_bytes, length);
}

int vrq5_convert_slow_data_block_hton(void* src, void* dst, int channels, uint32_t pattern) {
  if (src == nullptr || dst == nullptr) return VRQ5_CONVERT_NULL;
  // channels_number counts channels, not bytes, and may disagree with the
  // block's size; data_length of the host-order header just before the body
  // decides how far the body reaches. A header that does not carry the
  // caller's pattern means src is not behind it, so its length is not used.
  (void)channels;
  const Byte* header = in(src)-kSlowHeaderBytes;
  if (load32(header) != pattern) return VRQ5_CONVERT_BAD_HEADER;
  const uint32_t length = load32(header + offsetof(vrq5_daq_slow_data_header, data_length));
  if (length < kSlowHeaderBytes) return VRQ5_CONVERT_SHORT_LENGTH;
  reverse_words(in(src), out(dst), length - kSlowHeaderBytes);
  return VRQ5_CONVERT_OK;
}

int vrq5_convert_slow_data(void* src, void* dst) {
  if (src == nullptr || dst == nullptr) return VRQ5_CONVERT_NULL;
  const uint32_t pattern = load32(in(src));
  uint32_t length = load32(in(src) + offsetof(vrq5_daq_slow_data_header, data_length));
  if (!is_host_order_pattern(pattern)) length = __builtin_bswap32(length);
  return slow_unit(in(src), out(dst), length);
}

int vrq5_convert_data(void* src, void* dst, int type, int head_size) {
  if (src == nullptr || dst == nullptr) return VRQ5_CONVERT_NULL;
  size_t expected_head = 0;
  if (type == VRQ5_BLOCK_IMAGE) {
    expected_head = kImageHeadBytes;
  } else if (type == VRQ5_BLOCK_IMAGE_EXT) {
    expected_head = kImageExtHeadBytes;
  } else {
    return VRQ5_CONVERT_BAD_TYPE;
  }
  if (head_size < 0 || static_cast<size_t>(head_size) != expected_head) return VRQ5_CONVERT_BAD_HEADER;
  // The head has already been turned to the other order, so its length word
  // (the last word of either head) is read back reversed.
  const uint32_t raw = __builtin_bswap32(load32(in(src)-kWordBytes));
  if (type == VRQ5_BLOCK_IMAGE_EXT && static_cast<int32_t>(raw) < 0) return VRQ5_CONVERT_BAD_LENGTH;
  if (raw < expected_head) return VRQ5_CONVERT_SHORT_LENGTH;
  reverse_words(in(src), out(dst), raw - expected_head);
  return VRQ5_CONVERT_OK;
}

int vrq5_convert_event_head_sized(const void* src, void* dst, size_t header_size) {
  return event_head_sized(src, dst, header_size);
}

int vrq5_convert_event_sized(const void* src, void* dst, size_t header_size, size_t length) {
  return event_sized(src, dst, header_size, length);
}

int vrq5_convert_slow_data_sized(const void* src, void* dst, size_t length) {
  return slow_data_sized(src, dst, length);
}

int vrq5_convert_words_sized(const void* src, void* dst, size_t length) { return words_sized(src, dst, length); }

void vrq5_swap4(int* src, int* dst, int n) {
  if (src == nullptr || dst == nullptr || n <= 0) return;
  reverse_words(reinterpret_cast<const Byte*>(src), reinterpret_cast<Byte*>(dst), static_cast<size_t>(n) * kWordBytes);
}

char* vrq5_get_convert_error(int code) {
  switch (code) {
    case VRQ5_CONVERT_OK:
      return kTextOk;
    case VRQ5_CONVERT_NULL:
      return kTextNull;
    case VRQ5_CONVERT_SHORT_LENGTH:
      return kTextShort;
    case VRQ5_CONVERT_BAD_HEADER:
      return kTextBadHeader;
    case VRQ5_CONVERT_BAD_LENGTH:
      return kTextBadLength;
    case VRQ5_CONVERT_BAD_TYPE:
      return kTextBadType;
    default:
      return kTextUnknown;
  }
}

void set_data_format_2010(bool flag) { g_generation.store(flag ? kGeneration2010 : kGenerationOlder); }

void set_data_format_2024(bool flag) { g_generation.store(flag ? kGeneration2024 : kGenerationOlder); }

bool is_data_format_2024() { return g_generation.load() == kGeneration2024; }

bool is_data_format_2010() { return g_generation.load() == kGeneration2010; }
