// test_evutl.cpp - the event utilities: round trips through a converting
// link in the sender's and the collector's calling orders, refusal of
// impossible lengths, bounds of every conversion, and the data-format switch.
#include "VRQ5evutl.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "byte_reversal.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kGuard(16, 0xA5);

template <class T>
Bytes raw(const T& record) {
  Bytes b(sizeof record);
  std::memcpy(b.data(), &record, sizeof record);
  return b;
}

// Bytes that differ inside each word and from word to word, so a missed or
// doubled reversal shows.
Bytes body(size_t n, uint8_t seed = 0x30) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + 1);
  return b;
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

template <class T = uint32_t>
T host(const Bytes& b, size_t off) {
  T v;
  std::memcpy(&v, b.data() + off, sizeof v);
  return v;
}

uint64_t big(const Bytes& b, size_t off, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v = v << 8 | b[off + i];
  return v;
}

// Every field of the unit is the big-endian form of the native one: words,
// except the two 64-bit fields of a 48-byte header; a tail stays unchanged.
void expect_network_order(const Bytes& native, const Bytes& wire, size_t hdsz) {
  ASSERT_EQ(native.size(), wire.size());
  size_t off = 0;
  for (; off + 4 <= native.size(); off += 4) {
    if (hdsz == 48 && (off == 8 || off == 16)) {
      ASSERT_EQ(big(wire, off, 8), host<uint64_t>(native, off)) << off;
      off += 4;
    } else {
      ASSERT_EQ(big(wire, off, 4), host(native, off)) << off;
    }
  }
  for (; off < native.size(); ++off) ASSERT_EQ(wire[off], native[off]) << "tail " << off;
}

void receiver_switch(uint32_t v) {
  if (v == VRQ5_PATTERN_EVENT || v == VRQ5_PATTERN_SLOW) {
    set_data_format_2010(false);
    set_data_format_2024(false);
  } else if (v == VRQ5_PATTERN_EVENT_2024 || v == VRQ5_PATTERN_SLOW_2024) {
    set_data_format_2024(true);
  } else if (v == VRQ5_PATTERN_EVENT_2010 || v == VRQ5_PATTERN_EVENT_2010_SWAPPED) {
    set_data_format_2010(true);
  }
}

// The sender on a converting link: the header copy alone (acknowledged
// header phase), then the gathered unit in place, in the sender's order.
Bytes send(Bytes unit, size_t hdsz, bool sized) {
  Bytes hd(unit.begin(), unit.begin() + hdsz);
  Bytes hdbuf(hdsz);
  uint8_t* u = unit.data();
  int rc = 0;
  if (hdsz == 36 || hdsz == 48) {
    rc += sized ? vrq5_convert_event_head_sized(hd.data(), hdbuf.data(), hdsz)
                : vrq5_convert_event_head(hd.data(), hdbuf.data());
    rc += sized ? vrq5_convert_event_sized(u, u, hdsz, unit.size()) : vrq5_convert_event_hton(u, u, -1);
  } else if (hdsz == 12) {
    rc += vrq5_convert_slow_data_head(hd.data(), hdbuf.data());
    rc += sized ? vrq5_convert_slow_data_sized(u, u, unit.size())
                : vrq5_convert_slow_data_block_hton(u + 12, u + 12, host<int>(hd, 8), host(hd, 0)) +
                      vrq5_convert_slow_data_head(u, u);
  } else {
    auto head = hdsz == 8 ? vrq5_convert_image_head : vrq5_convert_image_ext_head;
    rc += head(hd.data(), hdbuf.data()) + head(u, u);
    rc += vrq5_convert_data(u + hdsz, u + hdsz, hdsz == 8 ? VRQ5_BLOCK_IMAGE : VRQ5_BLOCK_IMAGE_EXT, int(hdsz));
  }
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(Bytes(unit.begin(), unit.begin() + hdsz), hdbuf) << "header alone and header in the unit differ";
  return unit;
}

// The collector: the pattern window, reversed with vrq5_swap4, picks the
// kind and sets the switch; the header working copy gives the length; then
// the whole block is converted.
Bytes collect(const Bytes& wire, bool sized) {
  int window;
  int v;
  std::memcpy(&window, wire.data(), sizeof window);
  vrq5_swap4(&window, &v, 1);
  const uint32_t p = static_cast<uint32_t>(v);
  receiver_switch(p);
  const bool slow = p == VRQ5_PATTERN_SLOW || p == VRQ5_PATTERN_SLOW_2024;
  const size_t h = slow ? 12 : p == VRQ5_PATTERN_EVENT_2024 ? 48 : 36;
  Bytes copy(wire.begin(), wire.begin() + h);
  EXPECT_EQ(
      slow ? vrq5_convert_slow_data_head(copy.data(), copy.data()) : vrq5_convert_event_head(copy.data(), copy.data()),
      0);
  const uint64_t length = h == 48 ? host<uint64_t>(copy, 8) : host(copy, 4);
  EXPECT_EQ(length, wire.size());
  Bytes block = wire;
  uint8_t* b = block.data();
  if (slow) {
    EXPECT_EQ(sized ? vrq5_convert_slow_data_sized(b, b, length) : vrq5_convert_slow_data(b, b), 0);
  } else {
    EXPECT_EQ(sized ? vrq5_convert_event_sized(b, b, h, length) : vrq5_convert_event(b, b), 0);
  }
  return block;
}

Bytes event36(uint32_t pattern, size_t n) {
  const vrq5_eventheader hd{pattern, uint32_t(36 + n), 0x01020304, VRQ5_EV_BEAM_ENERGY, {0x11223344, 5667}, 7, -2, 3};
  return cat(raw(hd), body(n));
}

Bytes event2024(size_t n) {
  const time_stamp t{0x21222324, 1323};
  const vrq5_eventheader_2024 hd{VRQ5_PATTERN_EVENT_2024,
                                 VRQ5_EV_TOROID_ML,
                                 int64_t(48 + n),
                                 0x0102030405060708ull,
                                 t,
                                 0x7A7B7C7D,
                                 5,
                                 2,
                                 0x41424344};
  return cat(raw(hd), body(n));
}

Bytes slow(uint32_t pattern, size_t n, uint32_t channels) {
  return cat(raw(vrq5_daq_slow_data_header{pattern, uint32_t(12 + n), channels}), body(n));
}

Bytes image(uint32_t pattern, size_t n) { return cat(raw(vrq5_image_head{pattern, uint32_t(8 + n)}), body(n)); }

TEST(EventUtilities, EveryKindRoundTripsThroughAConvertingLink) {
  struct Case {
    Bytes native;
    size_t hdsz;
  };
  vrq5_image_ext_frame_head fh{};
  fh.width = 640;
  fh.scale_x = 1.5f;
  fh.length = 100 + 61;
  const Case cases[] = {{event36(VRQ5_PATTERN_EVENT, 43), 36},
                        {event36(VRQ5_PATTERN_EVENT_2010, 0), 36},
                        {event36(VRQ5_PATTERN_EVENT_2010, 1001), 36},
                        {event2024(0), 48},
                        {event2024(42), 48},
                        {slow(VRQ5_PATTERN_SLOW, 40, 10), 12},
                        {slow(VRQ5_PATTERN_SLOW_2024, 22, 100000), 12},  // channels disagree
                        {slow(VRQ5_PATTERN_SLOW, 0, 0), 12},
                        {image(VRQ5_PATTERN_EVENT, 28), 8},
                        {image(VRQ5_PATTERN_EVENT_2010, 203), 8},  // the collector takes these for 36-byte events
                        {cat(raw(fh), body(61)), 100}};            // no pattern, no receiver: the wire only
  for (const Case& c : cases) {
    for (int sized_send = 0; sized_send < 2; ++sized_send) {
      SCOPED_TRACE(testing::Message() << "header " << c.hdsz << " pattern " << std::hex << host(c.native, 0) << std::dec
                                      << " length " << c.native.size() << " sized " << sized_send);
      const Bytes wire = send(c.native, c.hdsz, sized_send);
      expect_network_order(c.native, wire, c.hdsz);
      if (c.hdsz == 100) continue;
      for (int sized_receive = 0; sized_receive < 2; ++sized_receive) {
        EXPECT_EQ(collect(wire, sized_receive), c.native);
        const uint32_t p = host(c.native, 0);
        EXPECT_EQ(is_data_format_2024(), p == VRQ5_PATTERN_EVENT_2024 || p == VRQ5_PATTERN_SLOW_2024);
      }
    }
  }
}

TEST(EventUtilities, ConversionsStayInsideTheirRecords) {
  // Fixed-size records, in guarded buffers and in exactly sized heap blocks
  // (AddressSanitizer catches any stray access there).
  const std::pair<int (*)(void*, void*), size_t> heads[] = {{vrq5_convert_image_head, 8},
                                                            {vrq5_convert_image_ext_head, 100},
                                                            {vrq5_convert_spect_head, 56},
                                                            {vrq5_convert_slow_data_head, 12},
                                                            {vrq5_convert_event_head, 36}};
  for (const auto& [convert, size] : heads) {
    SCOPED_TRACE(size);
    const Bytes native = body(size);
    Bytes buf = cat(native, kGuard);
    ASSERT_EQ(convert(buf.data(), buf.data()), 0);
    expect_network_order(native, Bytes(buf.begin(), buf.begin() + size), 0);
    EXPECT_EQ(Bytes(buf.begin() + size, buf.end()), kGuard);
    auto exact = std::make_unique<uint8_t[]>(size);
    std::memcpy(exact.get(), native.data(), size);
    ASSERT_EQ(convert(exact.get(), exact.get()), 0);
  }
  // A slow-data block that reaches the collector's repair in host order:
  // its length is read as host order.
  const Bytes sl = slow(VRQ5_PATTERN_SLOW, 10, 1);
  Bytes sbuf = cat(sl, kGuard);
  ASSERT_EQ(vrq5_convert_slow_data(sbuf.data(), sbuf.data()), 0);
  expect_network_order(sl, Bytes(sbuf.begin(), sbuf.begin() + sl.size()), 0);
  EXPECT_EQ(Bytes(sbuf.begin() + sl.size(), sbuf.end()), kGuard);
  const Bytes words = body(10);  // a bare body with a 2-byte tail, into another buffer
  Bytes out = cat(Bytes(10), kGuard);
  ASSERT_EQ(vrq5_convert_words_sized(words.data(), out.data(), words.size()), 0);
  expect_network_order(words, Bytes(out.begin(), out.begin() + 10), 0);
  EXPECT_EQ(Bytes(out.begin() + 10, out.end()), kGuard);

  // A 36-byte record whose pattern (and the switch) say 2024: the sized
  // conversions keep to 36 bytes, the unsized one told 36 refuses.
  for (uint32_t pattern : {uint32_t{VRQ5_PATTERN_EVENT_2024}, uint32_t{VRQ5_PATTERN_EVENT_2024_SWAPPED}}) {
    SCOPED_TRACE(pattern);
    set_data_format_2024(true);
    const Bytes native = event36(pattern, 0);
    Bytes buf = cat(native, kGuard);
    Bytes hdbuf = cat(Bytes(36), kGuard);
    ASSERT_EQ(vrq5_convert_event_head_sized(buf.data(), hdbuf.data(), 36), 0);
    ASSERT_EQ(vrq5_convert_event_sized(buf.data(), buf.data(), 36, 36), 0);
    EXPECT_EQ(buf, hdbuf);
    expect_network_order(native, Bytes(buf.begin(), buf.begin() + 36), 36);
    EXPECT_EQ(Bytes(buf.begin() + 36, buf.end()), kGuard);
    buf = cat(native, kGuard);
    EXPECT_EQ(vrq5_convert_event_hton(buf.data(), buf.data(), 36), VRQ5_CONVERT_SHORT_LENGTH);
    EXPECT_EQ(buf, cat(native, kGuard));
    auto exact = std::make_unique<uint8_t[]>(36);
    std::memcpy(exact.get(), native.data(), 36);
    EXPECT_EQ(vrq5_convert_event_head_sized(exact.get(), exact.get(), 36), 0);
    EXPECT_EQ(vrq5_convert_event_sized(exact.get(), exact.get(), 36, 36), 0);
  }
}

// Every word path this processor can run, against the plain definition:
// lengths around each vector step, tails of 1-3 bytes, unaligned pointers,
// in place and into another buffer, and nothing written past the length.
TEST(EventUtilities, EveryWordPathReversesLikeThePlainLoop) {
  namespace rv = vrq5::reversal;
  using Path = void (*)(const uint8_t*, uint8_t*, size_t);
  std::vector<std::pair<const char*, Path>> paths = {{"scalar", rv::detail::reverse_words_scalar}};
#ifdef VRQ5_REVERSAL_X86
  if (__builtin_cpu_supports("ssse3")) paths.emplace_back("ssse3", rv::detail::reverse_words_ssse3);
  if (__builtin_cpu_supports("avx2")) paths.emplace_back("avx2", rv::detail::reverse_words_avx2);
#endif
  auto part = [](const Bytes& b, size_t from, size_t n) { return Bytes(b.data() + from, b.data() + from + n); };
  for (const auto& [name, path] : paths) {
    for (size_t bytes = 0; bytes <= 4 * 80 + 3; ++bytes) {
      for (size_t offset = 0; offset < 4; ++offset) {
        SCOPED_TRACE(testing::Message() << name << " bytes " << bytes << " offset " << offset);
        const size_t whole = bytes / 4 * 4;
        const Bytes native = body(bytes, static_cast<uint8_t>(offset));
        const Bytes src = cat(Bytes(offset), native);
        Bytes dst = cat(Bytes(offset + bytes), kGuard);
        path(src.data() + offset, dst.data() + offset, bytes / 4);
        Bytes in_place = src;
        path(in_place.data() + offset, in_place.data() + offset, bytes / 4);
        expect_network_order(part(native, 0, whole), part(dst, offset, whole), 0);
        expect_network_order(part(native, 0, whole), part(in_place, offset, whole), 0);
        // The tail is left to the caller.
        EXPECT_EQ(part(dst, offset + whole, dst.size() - offset - whole), cat(Bytes(bytes - whole), kGuard));
      }
    }
  }
  // The dispatching entry point copies the tail when it converts into another buffer.
  const Bytes native = body(1002);
  Bytes out = cat(Bytes(native.size()), kGuard);
  rv::reverse_words(native.data(), out.data(), native.size());
  expect_network_order(native, part(out, 0, native.size()), 0);
  EXPECT_EQ(part(out, native.size(), kGuard.size()), kGuard);
}

template <class T>
Bytes with(Bytes b, size_t off, T value) {
  std::memcpy(b.data() + off, &value, sizeof value);
  return b;
}

// The record as a collector holds it: turned to the sender's other order.
Bytes received(Bytes b, int (*head)(void*, void*)) {
  EXPECT_EQ(head(b.data(), b.data()), 0);
  return b;
}

TEST(EventUtilities, ImpossibleLengthsAreRefusedWithoutTouchingMemory) {
  using Fn = std::function<int(uint8_t*)>;
  struct Case {
    const char* what;
    Bytes record;
    size_t at;  // where the converted part starts
    int code;
    Fn convert;
  };
  const Bytes e36 = event36(VRQ5_PATTERN_EVENT, 8);
  const Bytes e48 = event2024(8);
  const Bytes sl = slow(VRQ5_PATTERN_SLOW, 8, 2);
  const Bytes img = received(image(VRQ5_PATTERN_EVENT, 8), vrq5_convert_image_head);
  vrq5_image_ext_frame_head fh{};
  fh.length = -108;
  const Bytes ext = received(cat(raw(fh), body(8)), vrq5_convert_image_ext_head);
  const Fn hton = [](uint8_t* p) { return vrq5_convert_event_hton(p, p, -1); };
  const Fn event = [](uint8_t* p) { return vrq5_convert_event(p, p); };
  const Case cases[] = {
      {"sized, short", e36, 0, 2, [](uint8_t* p) { return vrq5_convert_event_sized(p, p, 36, 35); }},
      {"sized 2024, short", e48, 0, 2, [](uint8_t* p) { return vrq5_convert_event_sized(p, p, 48, 47); }},
      {"sized, header 40", e36, 0, 3, [](uint8_t* p) { return vrq5_convert_event_sized(p, p, 40, 44); }},
      {"sized head 12", e36, 0, 3, [](uint8_t* p) { return vrq5_convert_event_head_sized(p, p, 12); }},
      {"sized slow, short", sl, 0, 2, [](uint8_t* p) { return vrq5_convert_slow_data_sized(p, p, 11); }},
      {"hton, header says 35", with<uint32_t>(e36, 4, 35), 0, 2, hton},
      {"hton, len -2", e36, 0, 4, [](uint8_t* p) { return vrq5_convert_event_hton(p, p, -2); }},
      {"hton 2024, negative", with<int64_t>(e48, 8, -1), 0, 4, hton},
      {"hton 2024, 8 GiB", with<int64_t>(e48, 8, int64_t{1} << 33), 0, 4, hton},
      {"received, says 12", received(with<uint32_t>(e36, 4, 12), vrq5_convert_event_head), 0, 2, event},
      {"received 2024, negative", received(with<int64_t>(e48, 8, -5), vrq5_convert_event_head), 0, 4, event},
      {"received 2024, short", received(with<int64_t>(e48, 8, 47), vrq5_convert_event_head), 0, 2, event},
      {"received slow, says 8", received(with<uint32_t>(sl, 4, 8), vrq5_convert_slow_data_head), 0, 2,
       [](uint8_t* p) { return vrq5_convert_slow_data(p, p); }},
      {"slow body, header says 8", with<uint32_t>(sl, 4, 8), 12, 2,
       [](uint8_t* p) { return vrq5_convert_slow_data_block_hton(p, p, 2, VRQ5_PATTERN_SLOW); }},
      {"slow body, other pattern", sl, 12, 3,
       [](uint8_t* p) { return vrq5_convert_slow_data_block_hton(p, p, 2, VRQ5_PATTERN_SLOW_2024); }},
      {"image, head says 7", with<uint32_t>(img, 4, __builtin_bswap32(7)), 8, 2,
       [](uint8_t* p) { return vrq5_convert_data(p, p, 13, 8); }},
      {"image, type 5", img, 8, 5, [](uint8_t* p) { return vrq5_convert_data(p, p, 5, 8); }},
      {"image, head 100", img, 8, 3, [](uint8_t* p) { return vrq5_convert_data(p, p, 13, 100); }},
      {"frame, negative", ext, 100, 4, [](uint8_t* p) { return vrq5_convert_data(p, p, 27, 100); }},
      {"null", e36, 0, 1, [](uint8_t* p) { return vrq5_convert_event_sized(nullptr, p, 36, 36); }},
      {"null", e36, 0, 1, [](uint8_t* p) { return vrq5_convert_event(p, nullptr); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes buf = cat(c.record, kGuard);
    const Bytes before = buf;
    EXPECT_EQ(c.convert(buf.data() + c.at), c.code);
    EXPECT_EQ(buf, before);
  }
}

TEST(EventUtilities, EveryCodeHasAReadableText) {
  std::set<std::string> known;
  for (int code = VRQ5_CONVERT_OK; code <= VRQ5_CONVERT_BAD_TYPE; ++code) known.insert(vrq5_get_convert_error(code));
  EXPECT_EQ(known.size(), 6u) << "each code has its own text";
  EXPECT_EQ(known.count(""), 0u);
  // The collector passes the link's own status (29) after a failed repair.
  for (int code : {6, 29, -1, std::numeric_limits<int>::min()}) {
    const char* text = vrq5_get_convert_error(code);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(std::strlen(text), 0u);
    EXPECT_EQ(known.count(text), 0u) << code;
  }
}

TEST(EventUtilities, OneGenerationInForceAtATime) {
  // The collector's calls for a stream that alternates generations.
  const std::tuple<uint32_t, bool, bool> stream[] = {
      {VRQ5_PATTERN_EVENT_2024, true, false}, {VRQ5_PATTERN_EVENT, false, false},
      {VRQ5_PATTERN_SLOW_2024, true, false},  {VRQ5_PATTERN_EVENT_2010, false, true},
      {VRQ5_PATTERN_EVENT_2024, true, false}, {VRQ5_PATTERN_EVENT_2010_SWAPPED, false, true},
      {VRQ5_PATTERN_SLOW, false, false},      {VRQ5_PATTERN_SLOW_2024, true, false}};
  for (const auto& [v, is2024, is2010] : stream) {
    receiver_switch(v);
    EXPECT_EQ(is_data_format_2024(), is2024) << std::hex << v;
    EXPECT_EQ(is_data_format_2010(), is2010) << std::hex << v;
  }
  // A false from either call selects the older generation, whichever held.
  set_data_format_2010(true);
  set_data_format_2024(false);
  EXPECT_FALSE(is_data_format_2010() || is_data_format_2024());
  set_data_format_2024(true);
  set_data_format_2010(false);  // the sender, for a 48-byte header without the 2024 pattern
  EXPECT_FALSE(is_data_format_2010() || is_data_format_2024());
}

}  // namespace

// The link library needs nothing of the event utilities beyond their published
// interface, so a site's own build of that library serves it; and it looks
// host names up with the re-entrant call, not the one with shared results.
TEST(LinkLibraryImports, EventUtilitiesInterfaceOnlyAndReentrantHostLookup) {
  const std::set<std::string> interface = {"vrq5_convert_event_head",
                                           "vrq5_convert_event_hton",
                                           "vrq5_convert_event",
                                           "vrq5_convert_slow_data_head",
                                           "vrq5_convert_slow_data_block_hton",
                                           "vrq5_convert_slow_data",
                                           "vrq5_convert_image_head",
                                           "vrq5_convert_image_ext_head",
                                           "vrq5_convert_spect_head",
                                           "vrq5_convert_data",
                                           "vrq5_swap4",
                                           "vrq5_get_convert_error",
                                           "set_data_format_2010",
                                           "set_data_format_2024",
                                           "is_data_format_2024"};
  FILE* nm = popen("nm -D -C --undefined-only '" DATALINK_LIBRARY "'", "r");
  ASSERT_NE(nm, nullptr);
  std::set<std::string> imported;
  char line[512];
  while (std::fgets(line, sizeof line, nm) != nullptr) {
    std::istringstream fields(line);  // "U name(arguments)@version"
    std::string type, symbol;
    fields >> type;
    std::getline(fields >> std::ws, symbol);
    imported.insert(symbol.substr(0, symbol.find_first_of("(@")));
  }
  ASSERT_EQ(pclose(nm), 0);
  ASSERT_TRUE(imported.count("vrq5_swap4")) << "nm listed the library's imports";
  for (const std::string& name : imported) {
    if (name.rfind("vrq5_", 0) == 0 || name.find("data_format") != std::string::npos) {
      EXPECT_TRUE(interface.count(name)) << name << " is not in the event-utilities interface";
    }
    EXPECT_NE(name.rfind("gethostby", 0), 0u) << name << " hands out shared static results";
  }
}
