// wire_units.h - valid units of every kind as a peer puts them on the wire,
// for the tests, the receive fuzzer's liveness check and the seed corpus
// generator. A peer of the other byte order reverses every 32-bit word of a
// record; the data behind an image or spectrum intro are never converted.
// Header-only, so that targets which link only the event utilities use it too.
#ifndef DATALINK_WIRE_UNITS_H
#define DATALINK_WIRE_UNITS_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "VRQ5evutl.h"

namespace testsupport {

using Bytes = std::vector<uint8_t>;

template <typename Record>
Bytes bytes_of(const Record& record) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&record);
  return Bytes(p, p + sizeof record);
}

inline Bytes filler(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + 13 * i);
  return b;
}

inline void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

// Reverses each whole 32-bit word of [from, to).
inline void reverse_words(Bytes& b, size_t from, size_t to) {
  for (size_t i = from; i + 4 <= to; i += 4) std::reverse(b.begin() + i, b.begin() + i + 4);
}

inline Bytes words_reversed(Bytes b) {
  reverse_words(b, 0, b.size());
  return b;
}

// A 36-byte event with body_bytes (a multiple of 4) behind the header.
inline Bytes event36(uint32_t pattern, uint32_t number, size_t body_bytes, bool other_order) {
  vrq5_eventheader h{};
  h.pattern = pattern;
  h.event_length = static_cast<uint32_t>(sizeof h + body_bytes);
  h.event_number = number;
  h.event_type = VRQ5_EV_NORMAL;
  h.event_time = {1700000000u, 123456u};
  h.num_svr_block = 1;
  Bytes b = bytes_of(h);
  append(b, filler(body_bytes, static_cast<uint8_t>(number)));
  if (other_order) reverse_words(b, 0, b.size());
  return b;
}

// A 2024 event; its 64-bit fields reverse as 64-bit units.
inline Bytes event48(uint32_t number, size_t body_bytes, bool other_order) {
  vrq5_eventheader_2024 h{};
  h.pattern = VRQ5_PATTERN_EVENT_2024;
  h.event_type = VRQ5_EV_BOR;
  h.event_length = static_cast<int64_t>(sizeof h + body_bytes);
  h.event_number = number;
  h.event_time = {1700000001u, 7u};
  Bytes b(sizeof h + body_bytes);
  if (other_order) {
    vrq5_convert_event_head(&h, &h);
    std::memcpy(b.data(), &h, sizeof h);
  } else {
    std::memcpy(b.data(), &h, sizeof h);
  }
  Bytes body = filler(body_bytes, static_cast<uint8_t>(number + 1));
  if (other_order) reverse_words(body, 0, body.size());
  std::copy(body.begin(), body.end(), b.begin() + sizeof h);
  return b;
}

inline Bytes slow(uint32_t pattern, size_t body_bytes, bool other_order) {
  vrq5_daq_slow_data_header h{};
  h.pattern = pattern;
  h.data_length = static_cast<uint32_t>(sizeof h + body_bytes);
  h.channels_number = static_cast<uint32_t>(body_bytes / 4);
  Bytes b = bytes_of(h);
  append(b, filler(body_bytes, 0x40));
  if (other_order) reverse_words(b, 0, b.size());
  return b;
}

// An image or spectrum intro with data_bytes of data behind it.
template <typename Intro>
Bytes intro_unit(uint32_t pattern, size_t data_bytes, bool other_order) {
  Intro in{};
  in.intro.pattern = pattern;
  in.intro.length = static_cast<uint32_t>(sizeof in + data_bytes);
  for (size_t i = 0; i < sizeof in.head / 4; ++i) {
    uint32_t word = 0x01020300u + static_cast<uint32_t>(i);
    std::memcpy(reinterpret_cast<char*>(&in.head) + 4 * i, &word, 4);
  }
  Bytes b = bytes_of(in);
  if (other_order) reverse_words(b, 0, b.size());
  append(b, filler(data_bytes, 0x77));
  return b;
}

}  // namespace testsupport

#endif  // DATALINK_WIRE_UNITS_H
