// patterns.h - the 32-bit words that open every unit, and the preamble words
// of the handshake, in one table. Every place that classifies a pattern (the
// receive path, the accessors, the image and spectrum search, the sender's
// header recognition, the tool's unit builder) asks this table. Header-only,
// so the tool can use it without the library exporting it.
#ifndef DATALINK_PATTERNS_H
#define DATALINK_PATTERNS_H

#include <cstddef>
#include <cstdint>

#include "VRQ5evutl.h"

namespace datalink::patterns {

enum class HeaderKind { Event, Event2024, Slow };
// The process-wide data-format switch of the event utilities.
enum class Generation { Older, Gen2010, Gen2024 };

struct Pattern {
  uint32_t word;            // as a host of the producer's byte order reads it
  uint32_t reversed;        // the same bytes read by a host of the other order
  HeaderKind kind;          // the header record the pattern opens
  size_t header_bytes;      // that record's size
  Generation generation;    // the data-format switch the pattern implies, in either order
  bool reversed_ends_scan;  // the reversed form stops the event scan (the forward form always does)
  bool opens_intro;         // an image or spectrum intro starts with the forward form
};

constexpr uint32_t reverse_word(uint32_t w) {
  return (w >> 24) | ((w >> 8) & 0x0000FF00u) | ((w << 8) & 0x00FF0000u) | (w << 24);
}

// The byte-reversed event pattern 0xEEFFEEFF stops no scan: a producer of
// the other order that sends it is never recognised.
inline constexpr Pattern kPatterns[] = {
    {VRQ5_PATTERN_EVENT, VRQ5_PATTERN_EVENT_SWAPPED, HeaderKind::Event, sizeof(vrq5_eventheader), Generation::Older,
     false, true},
    {VRQ5_PATTERN_EVENT_2010, VRQ5_PATTERN_EVENT_2010_SWAPPED, HeaderKind::Event, sizeof(vrq5_eventheader),
     Generation::Gen2010, true, true},
    {VRQ5_PATTERN_EVENT_2024, VRQ5_PATTERN_EVENT_2024_SWAPPED, HeaderKind::Event2024, sizeof(vrq5_eventheader_2024),
     Generation::Gen2024, true, true},
    {VRQ5_PATTERN_SLOW, VRQ5_PATTERN_SLOW_SWAPPED, HeaderKind::Slow, sizeof(vrq5_daq_slow_data_header),
     Generation::Older, true, false},
    {VRQ5_PATTERN_SLOW_2024, VRQ5_PATTERN_SLOW_2024_SWAPPED, HeaderKind::Slow, sizeof(vrq5_daq_slow_data_header),
     Generation::Gen2024, true, false},
};

constexpr bool reversed_forms_agree() {
  for (const Pattern& p : kPatterns)
    if (p.reversed != reverse_word(p.word)) return false;
  return true;
}
static_assert(reversed_forms_agree(), "each reversed form is its pattern's bytes turned around");

// A pattern found in either order.
struct Match {
  const Pattern* row;  // null for a word that is no pattern
  bool reversed;       // the word is the reversed form
};

constexpr Match find(uint32_t value) {
  for (const Pattern& p : kPatterns) {
    if (value == p.word) return Match{&p, false};
    if (value == p.reversed) return Match{&p, true};
  }
  return Match{nullptr, false};
}

// The row of a forward (host-order) pattern, or null.
constexpr const Pattern* forward(uint32_t value) {
  const Match m = find(value);
  return m.row != nullptr && !m.reversed ? m.row : nullptr;
}

// Whether the event scan stops at value.
constexpr bool ends_scan(uint32_t value) {
  const Match m = find(value);
  return m.row != nullptr && (!m.reversed || m.row->reversed_ends_scan);
}

// A reversed form the scan stops at: a producer of the other order that no
// handshake announced.
constexpr bool reversed_scan_pattern(uint32_t value) {
  const Match m = find(value);
  return m.row != nullptr && m.reversed && m.row->reversed_ends_scan;
}

constexpr bool opens_intro(uint32_t value) {
  const Pattern* p = forward(value);
  return p != nullptr && p->opens_intro;
}

inline void apply_generation(Generation generation) {
  if (generation == Generation::Gen2024)
    set_data_format_2024(true);
  else
    set_data_format_2010(generation == Generation::Gen2010);
}

// The generation a sent header names: its pattern, in either order, counts
// only when it belongs to the header's own family (event or slow data) and
// opens a header at least as long as the one sent; a 36-byte record with the
// 2024 pattern is still 36 bytes. Anything else names the older generation.
constexpr Generation sent_header_generation(uint32_t pattern, size_t header_bytes) {
  const Match m = find(pattern);
  if (m.row == nullptr) return Generation::Older;
  const bool slow_header = header_bytes == sizeof(vrq5_daq_slow_data_header);
  const bool slow_pattern = m.row->kind == HeaderKind::Slow;
  if (slow_header != slow_pattern || m.row->header_bytes < header_bytes) return Generation::Older;
  return m.row->generation;
}

// The preamble: one 32-bit word in the listener's own byte order.
constexpr uint32_t kPreambleNative = 0x0A0B0C0Du;
constexpr uint32_t kPreambleBigEnd = 0x0C0D0E0Fu;
constexpr size_t kPreambleBytes = sizeof(uint32_t);

// must_swap for a preamble word as the calling end reads it, or -1 for a
// word that is no preamble. Only the native word in this host's own order
// needs no conversion.
constexpr int swap_for_preamble(uint32_t preamble) {
  if (preamble == kPreambleNative) return 0;
  if (preamble == reverse_word(kPreambleNative) || preamble == kPreambleBigEnd ||
      preamble == reverse_word(kPreambleBigEnd))
    return 1;
  return -1;
}

}  // namespace datalink::patterns

#endif  // DATALINK_PATTERNS_H
