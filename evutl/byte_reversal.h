// byte_reversal.h - the byte reversal behind every conversion, for code that
// knows the real sizes of its records. Header-only and not installed: the
// event-utilities library builds its conversions on it, and the link library
// compiles its own copy, so the link needs nothing of the event-utilities
// library beyond its published interface.
//
// Every 32-bit word is reversed on its own, the two 64-bit fields of the 2024
// event header as whole 64-bit units; a tail shorter than a word stays as it
// is. Each function checks everything before it writes, so a refused call
// leaves dst untouched, and src == dst converts in place.
#ifndef VRQ5_BYTE_REVERSAL_H
#define VRQ5_BYTE_REVERSAL_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "VRQ5evutl.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VRQ5_REVERSAL_X86 1
#endif

namespace vrq5::reversal {

using Byte = unsigned char;

constexpr size_t kWordBytes = sizeof(uint32_t);
constexpr size_t kEventHeaderBytes = sizeof(vrq5_eventheader);
constexpr size_t kEventHeader2024Bytes = sizeof(vrq5_eventheader_2024);
constexpr size_t kSlowHeaderBytes = sizeof(vrq5_daq_slow_data_header);

inline uint32_t load32(const Byte* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline uint64_t load64(const Byte* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

namespace detail {

inline void reverse_words_scalar(const Byte* src, Byte* dst, size_t words) {
  for (size_t i = 0; i < words; ++i) {
    const uint32_t v = __builtin_bswap32(load32(src + i * kWordBytes));
    std::memcpy(dst + i * kWordBytes, &v, sizeof v);
  }
}

#ifdef VRQ5_REVERSAL_X86
// The vector paths are compiled for their instruction sets by attribute, not
// by build flags, so the library still runs on any x86-64; reverse_words
// calls one only after the processor has said it has the instructions.
// Every load of a step comes before its stores, so src == dst works.
__attribute__((target("ssse3"))) inline void reverse_words_ssse3(const Byte* src, Byte* dst, size_t words) {
  constexpr size_t kStep = sizeof(__m128i) / kWordBytes;
  const __m128i order = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  size_t i = 0;
  for (; i + kStep <= words; i += kStep) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i * kWordBytes));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i * kWordBytes), _mm_shuffle_epi8(v, order));
  }
  reverse_words_scalar(src + i * kWordBytes, dst + i * kWordBytes, words - i);
}

__attribute__((target("avx2"))) inline __m256i load_reversed_avx2(const Byte* src) {
  const __m256i order = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12,  //
                                         3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  return _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)), order);
}

__attribute__((target("avx2"))) inline void store_avx2(Byte* dst, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), v);
}

// Four 32-byte vectors per step keep enough loads in flight to run at the
// speed of the memory rather than of one shuffle's latency.
__attribute__((target("avx2"))) inline void reverse_words_avx2(const Byte* src, Byte* dst, size_t words) {
  constexpr size_t kVectorBytes = sizeof(__m256i);
  constexpr size_t kVectorWords = kVectorBytes / kWordBytes;
  constexpr size_t kStepWords = 4 * kVectorWords;
  size_t i = 0;
  for (; i + kStepWords <= words; i += kStepWords) {
    const Byte* from = src + i * kWordBytes;
    Byte* to = dst + i * kWordBytes;
    const __m256i a = load_reversed_avx2(from);
    const __m256i b = load_reversed_avx2(from + kVectorBytes);
    const __m256i c = load_reversed_avx2(from + 2 * kVectorBytes);
    const __m256i d = load_reversed_avx2(from + 3 * kVectorBytes);
    store_avx2(to, a);
    store_avx2(to + kVectorBytes, b);
    store_avx2(to + 2 * kVectorBytes, c);
    store_avx2(to + 3 * kVectorBytes, d);
  }
  for (; i + kVectorWords <= words; i += kVectorWords)
    store_avx2(dst + i * kWordBytes, load_reversed_avx2(src + i * kWordBytes));
  reverse_words_scalar(src + i * kWordBytes, dst + i * kWordBytes, words - i);
}

enum class WordPath { scalar, ssse3, avx2 };

// Asked once per library; the answer cannot change while the process runs.
inline WordPath word_path() {
  static const WordPath path = [] {
    __builtin_cpu_init();  // the answer may be needed before the constructors that set it up have run
    if (__builtin_cpu_supports("avx2")) return WordPath::avx2;
    if (__builtin_cpu_supports("ssse3")) return WordPath::ssse3;
    return WordPath::scalar;
  }();
  return path;
}
#endif

// Below this many words (headers, short bodies) the plain loop is done before
// a vector path would have paid for its dispatch.
constexpr size_t kVectorMinWords = 16;

}  // namespace detail

// Reverses every whole 32-bit word of [0, bytes). Each word is loaded before
// it is stored, so src == dst converts in place. Neither pointer needs any
// alignment.
inline void reverse_words(const Byte* src, Byte* dst, size_t bytes) {
  const size_t words = bytes / kWordBytes;
#ifdef VRQ5_REVERSAL_X86
  if (words < detail::kVectorMinWords)
    detail::reverse_words_scalar(src, dst, words);
  else if (detail::word_path() == detail::WordPath::avx2)
    detail::reverse_words_avx2(src, dst, words);
  else if (detail::word_path() == detail::WordPath::ssse3)
    detail::reverse_words_ssse3(src, dst, words);
  else
    detail::reverse_words_scalar(src, dst, words);
#else
  detail::reverse_words_scalar(src, dst, words);
#endif
  const size_t done = words * kWordBytes;
  if (src != dst && bytes > done) std::memmove(dst + done, src + done, bytes - done);
}

inline void reverse_u64(const Byte* src, Byte* dst) {
  const uint64_t v = __builtin_bswap64(load64(src));
  std::memcpy(dst, &v, sizeof v);
}

// An event header whose size is already known to be 36 or 48.
inline void event_header(const Byte* src, Byte* dst, size_t header_bytes) {
  if (header_bytes == kEventHeaderBytes) {
    reverse_words(src, dst, kEventHeaderBytes);
    return;
  }
  constexpr size_t kLength = offsetof(vrq5_eventheader_2024, event_length);
  constexpr size_t kNumber = offsetof(vrq5_eventheader_2024, event_number);
  constexpr size_t kTime = offsetof(vrq5_eventheader_2024, event_time);
  reverse_words(src, dst, kLength);  // pattern, event_type
  reverse_u64(src + kLength, dst + kLength);
  reverse_u64(src + kNumber, dst + kNumber);
  reverse_words(src + kTime, dst + kTime, kEventHeader2024Bytes - kTime);  // time, tmask, status, blocks, fill
}

inline int event_unit(const Byte* src, Byte* dst, size_t header_bytes, uint64_t length) {
  if (header_bytes != kEventHeaderBytes && header_bytes != kEventHeader2024Bytes) return VRQ5_CONVERT_BAD_HEADER;
  if (length < header_bytes) return VRQ5_CONVERT_SHORT_LENGTH;
  // The 36-byte header is nine plain words, like the body behind it: one
  // pass turns the whole unit.
  if (header_bytes == kEventHeaderBytes) {
    reverse_words(src, dst, length);
    return VRQ5_CONVERT_OK;
  }
  event_header(src, dst, header_bytes);
  reverse_words(src + header_bytes, dst + header_bytes, length - header_bytes);
  return VRQ5_CONVERT_OK;
}

inline int slow_unit(const Byte* src, Byte* dst, uint64_t length) {
  if (length < kSlowHeaderBytes) return VRQ5_CONVERT_SHORT_LENGTH;
  reverse_words(src, dst, length);  // header and body are all 32-bit words
  return VRQ5_CONVERT_OK;
}

// The sized conversions: the caller states the real sizes; nothing outside
// [0, length) of src or dst is touched.
inline int event_head_sized(const void* src, void* dst, size_t header_size) {
  if (src == nullptr || dst == nullptr) return VRQ5_CONVERT_NULL;
  if (header_size != kEventHeaderBytes && header_size != kEventHeader2024Bytes) return VRQ5_CONVERT_BAD_HEADER;
  event_header(static_cast<const Byte*>(src), static_cast<Byte*>(dst), header_size);
  return VRQ5_CONVERT_OK;
}

inline int event_sized(const void* src, void* dst, size_t header_size, size_t length) {
  if (src == nullptr || dst == nullptr) return VRQ5_CONVERT_NULL;
  return event_unit(static_cast<const Byte*>(src), static_cast<Byte*>(dst), header_size, length);
}

inline int slow_data_sized(const void* src, void* dst, size_t length) {
  if (src == nullptr || dst == nullptr) return VRQ5_CONVERT_NULL;
  return slow_unit(static_cast<const Byte*>(src), static_cast<Byte*>(dst), length);
}

inline int words_sized(const void* src, void* dst, size_t length) {
  if (src == nullptr || dst == nullptr) return VRQ5_CONVERT_NULL;
  reverse_words(static_cast<const Byte*>(src), static_cast<Byte*>(dst), length);
  return VRQ5_CONVERT_OK;
}

}  // namespace vrq5::reversal

#endif  // VRQ5_BYTE_REVERSAL_H
