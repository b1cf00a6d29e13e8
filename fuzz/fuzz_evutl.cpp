// fuzz_evutl.cpp - every conversion of the event utilities on arbitrary
// bytes. Byte 0 picks the conversion, byte 1 its parameters, the rest is the
// record. Sized conversions get buffers of exactly the size they are told;
// the unsized ones read a length from the record itself, so their buffers
// are cut to that length, or the length field is patched down to the bytes
// at hand, before the call. Every buffer is a heap block of exactly its size,
// so a byte touched outside it is caught by the address sanitizer.
//
// Oracles beyond the sanitizers: a refused conversion leaves dst as it was;
// conversion in place equals conversion into a separate buffer; and the
// receiver's conversion undoes the sender's (reversal is its own inverse).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "VRQ5evutl.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr size_t kEventBytes = sizeof(vrq5_eventheader);
constexpr size_t kEvent2024Bytes = sizeof(vrq5_eventheader_2024);
constexpr size_t kSlowBytes = sizeof(vrq5_daq_slow_data_header);
constexpr size_t kImageHeadBytes = sizeof(vrq5_image_head);
constexpr size_t kImageExtHeadBytes = sizeof(vrq5_image_ext_frame_head);
constexpr size_t kSpectBytes = sizeof(vrq5_spect_intro);
constexpr size_t kLengthAt = 4;      // event_length (36) and data_length (12)
constexpr size_t kLength2024At = 8;  // event_length of the 2024 header
constexpr uint8_t kMarker = 0xA5;    // what a separate dst holds before the call

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// A heap block of exactly n bytes: a vector's storage is allocated to size.
struct Block {
  explicit Block(const Bytes& from) : bytes(from) { bytes.shrink_to_fit(); }
  Block(size_t n, uint8_t fill) : bytes(n, fill) {}
  unsigned char* data() { return bytes.empty() ? nullptr : bytes.data(); }
  Bytes bytes;
};

uint32_t load32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
uint64_t load64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
void store32(unsigned char* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }
void store64(unsigned char* p, uint64_t v) { std::memcpy(p, &v, sizeof v); }

bool host_pattern(uint32_t p) {
  return p == VRQ5_PATTERN_EVENT || p == VRQ5_PATTERN_EVENT_2010 || p == VRQ5_PATTERN_EVENT_2024 ||
         p == VRQ5_PATTERN_SLOW || p == VRQ5_PATTERN_SLOW_2024;
}
bool pattern_2024(uint32_t p) { return p == VRQ5_PATTERN_EVENT_2024 || p == VRQ5_PATTERN_EVENT_2024_SWAPPED; }

Bytes padded(const Bytes& in, size_t at_least) {
  Bytes out = in;
  if (out.size() < at_least) out.resize(at_least, 0);
  return out;
}

// Runs conv on a separate dst and in place; both must agree, and a refusal
// must leave the separate dst untouched. Returns the result and the output.
template <typename Conv>
int run_both(const Bytes& input, Conv conv, Bytes* result) {
  Block src(input);
  Block dst(input.size(), kMarker);
  const int rc = conv(src.data(), dst.data());
  check(src.bytes == input);  // the source of a separate conversion is read only
  Block inplace(input);
  const int rc_inplace = conv(inplace.data(), inplace.data());
  check(rc == rc_inplace);
  if (rc != VRQ5_CONVERT_OK) {
    check(dst.bytes == Bytes(input.size(), kMarker));
    check(inplace.bytes == input);
  } else {
    check(dst.bytes == inplace.bytes);
  }
  *result = dst.bytes;
  return rc;
}

// The unsized event conversions read the header's length field in the order
// the caller implies; a field pointing past the bytes at hand is patched to
// the block size, a refused (negative or huge 2024) one is kept.
Bytes consistent_event(Bytes record, bool host_order) {
  const size_t header = pattern_2024(load32(record.data())) ? kEvent2024Bytes : kEventBytes;
  record = padded(record, header);
  if (header == kEventBytes) {
    uint32_t v = load32(&record[kLengthAt]);
    if (!host_order) v = __builtin_bswap32(v);
    if (v > record.size()) v = static_cast<uint32_t>(record.size());
    if (v >= header) record.resize(v);
    store32(&record[kLengthAt], host_order ? v : __builtin_bswap32(v));
    return record;
  }
  uint64_t raw = load64(&record[kLength2024At]);
  if (!host_order) raw = __builtin_bswap64(raw);
  int64_t v;
  std::memcpy(&v, &raw, sizeof v);
  if (v < 0 || static_cast<uint64_t>(v) > UINT32_MAX) return record;  // refused before anything is read
  if (static_cast<uint64_t>(v) > record.size()) v = static_cast<int64_t>(record.size());
  if (static_cast<uint64_t>(v) >= header) record.resize(static_cast<size_t>(v));
  raw = static_cast<uint64_t>(v);
  store64(&record[kLength2024At], host_order ? raw : __builtin_bswap64(raw));
  return record;
}

Bytes consistent_slow(Bytes record, bool host_order) {
  record = padded(record, kSlowBytes);
  uint32_t v = load32(&record[kLengthAt]);
  if (!host_order) v = __builtin_bswap32(v);
  if (v > record.size()) v = static_cast<uint32_t>(record.size());
  if (v >= kSlowBytes) record.resize(v);
  store32(&record[kLengthAt], host_order ? v : __builtin_bswap32(v));
  return record;
}

void fixed_head(const Bytes& body, size_t size, int (*conv)(void*, void*)) {
  Bytes record = body;
  record.resize(size, 0);
  Bytes once, twice;
  check(run_both(record, conv, &once) == VRQ5_CONVERT_OK);
  check(run_both(once, conv, &twice) == VRQ5_CONVERT_OK);
  check(twice == record);
}

void event_head(const Bytes& body) {
  Bytes record = padded(body, 4);
  record.resize(pattern_2024(load32(record.data())) ? kEvent2024Bytes : kEventBytes, 0);
  Bytes once, twice;
  check(run_both(
            record, [](void* s, void* d) { return vrq5_convert_event_head(s, d); }, &once) == 0);
  check(run_both(
            once, [](void* s, void* d) { return vrq5_convert_event_head(s, d); }, &twice) == 0);
  check(twice == record);
}

void event_head_sized(const Bytes& body, uint8_t param) {
  const size_t sizes[] = {kEventBytes, kEvent2024Bytes, static_cast<size_t>(param % 64)};
  const size_t size = sizes[param % 3];
  Bytes record = body;
  record.resize(size, 0);
  Bytes once, twice;
  auto conv = [size](void* s, void* d) { return vrq5_convert_event_head_sized(s, d, size); };
  const int rc = run_both(record, conv, &once);
  check((rc == VRQ5_CONVERT_OK) == (size == kEventBytes || size == kEvent2024Bytes));
  if (rc != VRQ5_CONVERT_OK) return;
  check(run_both(once, conv, &twice) == 0 && twice == record);
}

void event_unsized(const Bytes& body) {
  Bytes record = padded(body, 4);
  record = consistent_event(record, host_pattern(load32(record.data())));
  Bytes once, twice;
  auto conv = [](void* s, void* d) { return vrq5_convert_event(s, d); };
  if (run_both(record, conv, &once) != VRQ5_CONVERT_OK) return;
  // The converted pattern shows the other order, so the length is read from
  // the other order and the same bytes come back.
  if (host_pattern(load32(record.data())) || host_pattern(load32(once.data()))) {
    check(run_both(once, conv, &twice) == 0 && twice == record);
  }
}

void event_hton(const Bytes& body, uint8_t param) {
  Bytes record = padded(body, 4);
  int len = -1;
  if (param & 1) {
    len = (param & 2) ? -2 - (param >> 2) : static_cast<int>(record.size() - (param >> 2) % record.size());
    // A stated length converts exactly that many bytes: the block ends there.
    if (len >= 4) record.resize(static_cast<size_t>(len));
  } else {
    record = consistent_event(record, true);
  }
  Bytes once, back;
  const int rc = run_both(
      record, [len](void* s, void* d) { return vrq5_convert_event_hton(s, d, len); }, &once);
  if (len < -1) check(rc == VRQ5_CONVERT_BAD_LENGTH);
  if (rc != VRQ5_CONVERT_OK || len != -1) return;
  const uint32_t pattern = load32(record.data());
  if (pattern != VRQ5_PATTERN_EVENT && pattern != VRQ5_PATTERN_EVENT_2010 && pattern != VRQ5_PATTERN_EVENT_2024) return;
  check(run_both(
            once, [](void* s, void* d) { return vrq5_convert_event(s, d); }, &back) == 0 &&
        back == record);
}

void slow_unsized(const Bytes& body) {
  Bytes record = padded(body, 4);
  record = consistent_slow(record, host_pattern(load32(record.data())));
  Bytes once, twice;
  auto conv = [](void* s, void* d) { return vrq5_convert_slow_data(s, d); };
  if (run_both(record, conv, &once) != VRQ5_CONVERT_OK) return;
  if (host_pattern(load32(record.data())) || host_pattern(load32(once.data())))
    check(run_both(once, conv, &twice) == 0 && twice == record);
}

// The body conversion reads the host-order header just before src, so the
// block handed over is the whole record and src points behind its header.
void slow_block_hton(const Bytes& body, uint8_t param) {
  Bytes record = consistent_slow(padded(body, kSlowBytes), true);
  const uint32_t header_pattern = load32(record.data());
  const uint32_t pattern = (param & 1) ? header_pattern : header_pattern ^ (param | 1u);
  Block src(record);
  Block dst(record);
  const int rc = vrq5_convert_slow_data_block_hton(src.data() + kSlowBytes, dst.data() + kSlowBytes, param, pattern);
  check(src.bytes == record);
  if (rc != VRQ5_CONVERT_OK) {
    check(dst.bytes == record);
    return;
  }
  if (!host_pattern(header_pattern)) return;
  // Sender: body, then header; receiver: the whole block back.
  check(vrq5_convert_slow_data_head(dst.data(), dst.data()) == 0);
  check(vrq5_convert_slow_data(dst.data(), dst.data()) == 0);
  check(dst.bytes == record);
}

// An image body: the head's length word, already in the other order, sits
// just before the body.
void image_data(const Bytes& body, uint8_t param) {
  const int types[] = {VRQ5_BLOCK_IMAGE, VRQ5_BLOCK_IMAGE_EXT, static_cast<int>(param >> 2)};
  const int type = types[param % 3];
  const size_t head = type == VRQ5_BLOCK_IMAGE_EXT ? kImageExtHeadBytes : kImageHeadBytes;
  const int head_size = (param & 0x80) ? static_cast<int>(param % 120) - 8 : static_cast<int>(head);
  Bytes record = padded(body, head);
  uint32_t length = __builtin_bswap32(load32(&record[head - 4]));
  const bool refused_first = type == VRQ5_BLOCK_IMAGE_EXT && static_cast<int32_t>(length) < 0;
  if (!refused_first && length > record.size()) length = static_cast<uint32_t>(record.size());
  if (!refused_first && length >= head) record.resize(length);
  store32(&record[head - 4], __builtin_bswap32(length));
  Block src(record);
  Block dst(record);
  const int rc = vrq5_convert_data(src.data() + head, dst.data() + head, type, head_size);
  check(src.bytes == record);
  if (rc != VRQ5_CONVERT_OK) {
    check(dst.bytes == record);
    return;
  }
  check(type == VRQ5_BLOCK_IMAGE || type == VRQ5_BLOCK_IMAGE_EXT);
  check(vrq5_convert_data(dst.data() + head, dst.data() + head, type, head_size) == 0);
  check(dst.bytes == record);
}

template <typename Conv>
void sized_unit(const Bytes& body, Conv conv) {
  Bytes once, twice;
  if (run_both(body, conv, &once) != VRQ5_CONVERT_OK) return;
  check(run_both(once, conv, &twice) == 0 && twice == body);
}

void swap_words(const Bytes& body, uint8_t param) {
  const int n = (param & 1) ? -static_cast<int>(param) : static_cast<int>(body.size() / 4);
  Block src(body);
  Block dst(body.size(), kMarker);
  vrq5_swap4(reinterpret_cast<int*>(src.data()), reinterpret_cast<int*>(dst.data()), n);
  if (n <= 0) {
    check(dst.bytes == Bytes(body.size(), kMarker));
    return;
  }
  for (size_t i = 0; i + 4 <= body.size(); i += 4) check(load32(&dst.bytes[i]) == __builtin_bswap32(load32(&body[i])));
}

void error_text(const Bytes& body) {
  const Bytes word = padded(body, 4);
  const char* text = vrq5_get_convert_error(static_cast<int>(load32(word.data())));
  check(text != nullptr && std::strlen(text) > 0);
}

// Exactly one generation holds after any sequence of switches.
void data_format(const Bytes& body) {
  for (unsigned char b : body) {
    if (b & 2)
      set_data_format_2024(b & 1);
    else
      set_data_format_2010(b & 1);
    check(!(is_data_format_2010() && is_data_format_2024()));
    if (b & 1) check((b & 2) ? is_data_format_2024() : is_data_format_2010());
    if (!(b & 1)) check(!is_data_format_2010() && !is_data_format_2024());
  }
}

void null_pointers() {
  unsigned char b[kEvent2024Bytes] = {};
  check(vrq5_convert_event_head(nullptr, b) == VRQ5_CONVERT_NULL);
  check(vrq5_convert_event(b, nullptr) == VRQ5_CONVERT_NULL);
  check(vrq5_convert_event_hton(nullptr, nullptr, -1) == VRQ5_CONVERT_NULL);
  check(vrq5_convert_slow_data(nullptr, b) == VRQ5_CONVERT_NULL);
  check(vrq5_convert_data(nullptr, b, VRQ5_BLOCK_IMAGE, 8) == VRQ5_CONVERT_NULL);
  check(vrq5_convert_words_sized(nullptr, b, 4) == VRQ5_CONVERT_NULL);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t which = data[0];
  const uint8_t param = data[1];
  const Bytes body(data + 2, data + size);
  switch (which % 18) {
    case 0:
      event_head(body);
      break;
    case 1:
      event_head_sized(body, param);
      break;
    case 2:
      event_unsized(body);
      break;
    case 3:
      event_hton(body, param);
      break;
    case 4:
      slow_unsized(body);
      break;
    case 5:
      slow_block_hton(body, param);
      break;
    case 6:
      image_data(body, param);
      break;
    case 7:
      fixed_head(body, kSlowBytes, vrq5_convert_slow_data_head);
      break;
    case 8:
      fixed_head(body, kImageHeadBytes, vrq5_convert_image_head);
      break;
    case 9:
      fixed_head(body, kImageExtHeadBytes, vrq5_convert_image_ext_head);
      break;
    case 10:
      fixed_head(body, kSpectBytes, vrq5_convert_spect_head);
      break;
    case 11: {
      const size_t header = (param & 1) ? kEvent2024Bytes : (param & 2) ? kEventBytes : param % 64;
      sized_unit(body, [&](void* s, void* d) { return vrq5_convert_event_sized(s, d, header, body.size()); });
      break;
    }
    case 12:
      sized_unit(body, [&](void* s, void* d) { return vrq5_convert_slow_data_sized(s, d, body.size()); });
      break;
    case 13:
      sized_unit(body, [&](void* s, void* d) { return vrq5_convert_words_sized(s, d, body.size()); });
      break;
    case 14:
      swap_words(body, param);
      break;
    case 15:
      error_text(body);
      break;
    case 16:
      data_format(body);
      break;
    default:
      null_pointers();
      break;
  }
  return 0;
}
