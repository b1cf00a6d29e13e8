// test_evutl.cpp - the event utilities: round trips through a converting
// link in the sender's and the collector's calling orders, refusal of
// impossible lengths, bounds of every conversion, and the data-format switch.
#include "VRQ5evutl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kGuardBytes = 16;
constexpr uint8_t kGuard = 0xA5;

template <class T>
Bytes bytes_of(const T& record) {
  Bytes b(sizeof record);
  std::memcpy(b.data(), &record, sizeof record);
  return b;
}

// Body bytes that differ from word to word and inside each word, so a missed
// or doubled reversal shows.
Bytes body(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + 1);
  return b;
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

uint32_t host32(const Bytes& b, size_t off) {
  uint32_t v;
  std::memcpy(&v, b.data() + off, sizeof v);
  return v;
}

uint32_t big32(const Bytes& b, size_t off) {
  return uint32_t{b[off]} << 24 | uint32_t{b[off + 1]} << 16 | uint32_t{b[off + 2]} << 8 | b[off + 3];
}

uint64_t big64(const Bytes& b, size_t off) { return uint64_t{big32(b, off)} << 32 | big32(b, off + 4); }

// Every whole word of [from, end) is the big-endian form of the native word,
// and a trailing partial word is unchanged.
void expect_network_words(const Bytes& native, const Bytes& wire, size_t from) {
  ASSERT_EQ(native.size(), wire.size());
  size_t off = from;
  for (; off + 4 <= native.size(); off += 4) ASSERT_EQ(big32(wire, off), host32(native, off)) << "offset " << off;
  for (; off < native.size(); ++off) ASSERT_EQ(wire[off], native[off]) << "tail offset " << off;
}

// The collector's data-format calls for the value V of its pattern window.
void receiver_switch(uint32_t v) {
  switch (v) {
    case VRQ5_PATTERN_EVENT:
    case VRQ5_PATTERN_SLOW:
      set_data_format_2010(false);
      set_data_format_2024(false);
      break;
    case VRQ5_PATTERN_EVENT_2024:
    case VRQ5_PATTERN_SLOW_2024:
      set_data_format_2024(true);
      break;
    case VRQ5_PATTERN_EVENT_2010:
    case VRQ5_PATTERN_EVENT_2010_SWAPPED:
      set_data_format_2010(true);
      break;
    default:
      break;
  }
}

// The collector on a converting link: the pattern window as it arrived,
// reversed with vrq5_swap4, picks the header size H.
uint32_t window_value(const Bytes& wire) {
  int window;
  int v;
  std::memcpy(&window, wire.data(), sizeof window);
  vrq5_swap4(&window, &v, 1);
  return static_cast<uint32_t>(v);
}

size_t header_size_for(uint32_t v) {
  if (v == VRQ5_PATTERN_EVENT_2024) return sizeof(vrq5_eventheader_2024);
  if (v == VRQ5_PATTERN_SLOW || v == VRQ5_PATTERN_SLOW_2024) return sizeof(vrq5_daq_slow_data_header);
  return sizeof(vrq5_eventheader);
}

// The sender on a converting link for a 36- or 48-byte event: the header
// copy for an acknowledged header phase, then the gathered unit in place.
Bytes send_event(const Bytes& native, size_t hdsz, bool sized) {
  Bytes hd(native.begin(), native.begin() + hdsz);
  Bytes hdbuf(hdsz);
  int rc = sized ? vrq5_convert_event_head_sized(hd.data(), hdbuf.data(), hdsz)
                 : vrq5_convert_event_head(hd.data(), hdbuf.data());
  EXPECT_EQ(rc, 0);
  Bytes buf = native;
  rc = sized ? vrq5_convert_event_sized(buf.data(), buf.data(), hdsz, buf.size())
             : vrq5_convert_event_hton(buf.data(), buf.data(), -1);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + hdsz), hdbuf) << "header alone and header in the unit differ";
  return buf;
}

// The collector for an event unit (or an image unit, which it takes for a
// 36-byte event): header working copy, announced length, then the block.
Bytes receive_event(const Bytes& wire, bool sized) {
  const uint32_t v = window_value(wire);
  receiver_switch(v);
  const size_t h = header_size_for(v);
  Bytes copy(wire.begin(), wire.begin() + h);
  EXPECT_EQ(vrq5_convert_event_head(copy.data(), copy.data()), 0);
  uint64_t length;
  if (h == sizeof(vrq5_eventheader_2024)) {
    vrq5_eventheader_2024 hd;
    std::memcpy(&hd, copy.data(), sizeof hd);
    length = static_cast<uint64_t>(hd.event_length);
  } else {
    vrq5_eventheader hd;
    std::memcpy(&hd, copy.data(), sizeof hd);
    length = hd.event_length;
  }
  EXPECT_EQ(length, wire.size());
  Bytes block = wire;
  const int rc = sized ? vrq5_convert_event_sized(block.data(), block.data(), h, length)
                       : vrq5_convert_event(block.data(), block.data());
  EXPECT_EQ(rc, 0);
  return block;
}

Bytes event36(uint32_t pattern, size_t body_bytes) {
  vrq5_eventheader hd{};
  hd.pattern = pattern;
  hd.event_length = static_cast<uint32_t>(sizeof hd + body_bytes);
  hd.event_number = 0x01020304;
  hd.event_type = VRQ5_EV_BEAM_ENERGY;
  hd.event_time = {0x11223344, 0x00055667};
  hd.tmask = 0x0F0E0D0C;
  hd.status = -2;
  hd.num_svr_block = 3;
  return cat(bytes_of(hd), body(body_bytes, 0x30));
}

Bytes event2024(size_t body_bytes) {
  vrq5_eventheader_2024 hd{};
  hd.pattern = VRQ5_PATTERN_EVENT_2024;
  hd.event_type = VRQ5_EV_TOROID_ML;
  hd.event_length = static_cast<int64_t>(sizeof hd + body_bytes);
  hd.event_number = 0x0102030405060708ull;
  hd.event_time = {0x21222324, 0x00031323};
  hd.tmask = 0x7A7B7C7D;
  hd.status = 5;
  hd.num_svr_block = 2;
  hd.fill = 0x41424344;
  return cat(bytes_of(hd), body(body_bytes, 0x50));
}

Bytes slow_block(uint32_t pattern, size_t body_bytes, uint32_t channels) {
  vrq5_daq_slow_data_header hd{pattern, static_cast<uint32_t>(sizeof hd + body_bytes), channels};
  return cat(bytes_of(hd), body(body_bytes, 0x70));
}

TEST(EventUtilities, EventsRoundTripThroughAConvertingLink) {
  const size_t bodies[] = {0, 4, 40, 43, 1001};  // word-aligned and with 3- and 1-byte tails
  const uint32_t patterns36[] = {VRQ5_PATTERN_EVENT, VRQ5_PATTERN_EVENT_2010};
  for (int sized_send = 0; sized_send < 2; ++sized_send) {
    for (int sized_receive = 0; sized_receive < 2; ++sized_receive) {
      for (size_t n : bodies) {
        for (uint32_t pattern : patterns36) {
          SCOPED_TRACE(testing::Message() << "36-byte, pattern " << std::hex << pattern << std::dec << " body " << n
                                          << " sized " << sized_send << sized_receive);
          const Bytes native = event36(pattern, n);
          const Bytes wire = send_event(native, sizeof(vrq5_eventheader), sized_send);
          expect_network_words(native, wire, 0);
          EXPECT_EQ(receive_event(wire, sized_receive), native);
          EXPECT_EQ(is_data_format_2010(), pattern == VRQ5_PATTERN_EVENT_2010);
          EXPECT_FALSE(is_data_format_2024());
        }
        SCOPED_TRACE(testing::Message() << "48-byte, body " << n << " sized " << sized_send << sized_receive);
        const Bytes native = event2024(n);
        const Bytes wire = send_event(native, sizeof(vrq5_eventheader_2024), sized_send);
        // The two 64-bit fields travel as big-endian 64-bit numbers, the rest as words.
        EXPECT_EQ(big32(wire, 0), VRQ5_PATTERN_EVENT_2024);
        EXPECT_EQ(big32(wire, 4), uint32_t{VRQ5_EV_TOROID_ML});
        EXPECT_EQ(big64(wire, 8), native.size());
        EXPECT_EQ(big64(wire, 16), 0x0102030405060708ull);
        expect_network_words(Bytes(native.begin() + 24, native.end()), Bytes(wire.begin() + 24, wire.end()), 0);
        EXPECT_EQ(receive_event(wire, sized_receive), native);
        EXPECT_TRUE(is_data_format_2024());
      }
    }
  }
}

TEST(EventUtilities, SlowDataRoundTripsWhateverChannelsSays) {
  struct Case {
    uint32_t pattern;
    size_t body_bytes;
    uint32_t channels;
  };
  // channels_number agreeing with the body, far above it, zero, and a tail.
  const Case cases[] = {{VRQ5_PATTERN_SLOW, 40, 10},     {VRQ5_PATTERN_SLOW_2024, 40, 10},
                        {VRQ5_PATTERN_SLOW, 20, 100000}, {VRQ5_PATTERN_SLOW_2024, 24, 0},
                        {VRQ5_PATTERN_SLOW, 22, 5},      {VRQ5_PATTERN_SLOW, 0, 0}};
  for (int sized_send = 0; sized_send < 2; ++sized_send) {
    for (int sized_receive = 0; sized_receive < 2; ++sized_receive) {
      for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.pattern << std::dec << " body " << c.body_bytes << " channels "
                                        << c.channels << " sized " << sized_send << sized_receive);
        const Bytes native = slow_block(c.pattern, c.body_bytes, c.channels);
        // Sender: header copy alone, then the body behind the native header,
        // then the header in the unit.
        Bytes hdbuf(12);
        Bytes hd(native.begin(), native.begin() + 12);
        ASSERT_EQ(vrq5_convert_slow_data_head(hd.data(), hdbuf.data()), 0);
        Bytes wire = native;
        if (sized_send) {
          ASSERT_EQ(vrq5_convert_slow_data_sized(wire.data(), wire.data(), wire.size()), 0);
        } else {
          ASSERT_EQ(vrq5_convert_slow_data_block_hton(wire.data() + 12, wire.data() + 12, static_cast<int>(c.channels),
                                                      c.pattern),
                    0);
          ASSERT_EQ(vrq5_convert_slow_data_head(wire.data(), wire.data()), 0);
        }
        EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 12), hdbuf);
        expect_network_words(native, wire, 0);

        // Collector.
        const uint32_t v = window_value(wire);
        ASSERT_EQ(v, c.pattern);
        receiver_switch(v);
        EXPECT_EQ(is_data_format_2024(), c.pattern == VRQ5_PATTERN_SLOW_2024);
        Bytes copy(wire.begin(), wire.begin() + 12);
        ASSERT_EQ(vrq5_convert_slow_data_head(copy.data(), copy.data()), 0);
        EXPECT_EQ(copy, Bytes(native.begin(), native.begin() + 12));
        Bytes block = wire;
        const int rc = sized_receive ? vrq5_convert_slow_data_sized(block.data(), block.data(), host32(copy, 4))
                                     : vrq5_convert_slow_data(block.data(), block.data());
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(block, native);
      }
    }
  }
}

TEST(EventUtilities, ImageUnitsConvertAsWordsAndReachTheCollectorAsEvents) {
  // An 8-byte head: the collector takes the unit for a 36-byte event, since
  // pattern and length sit where an event header has them.
  for (uint32_t pattern : {uint32_t{VRQ5_PATTERN_EVENT}, uint32_t{VRQ5_PATTERN_EVENT_2010}}) {
    for (size_t n : {size_t{28}, size_t{200}, size_t{203}}) {
      SCOPED_TRACE(testing::Message() << std::hex << pattern << std::dec << " data " << n);
      const Bytes native = cat(bytes_of(vrq5_image_head{pattern, static_cast<uint32_t>(8 + n)}), body(n, 0x90));
      Bytes hd(native.begin(), native.begin() + 8);
      Bytes hdbuf(8);
      ASSERT_EQ(vrq5_convert_image_head(hd.data(), hdbuf.data()), 0);
      Bytes wire = native;
      ASSERT_EQ(vrq5_convert_image_head(wire.data(), wire.data()), 0);
      ASSERT_EQ(vrq5_convert_data(wire.data() + 8, wire.data() + 8, VRQ5_BLOCK_IMAGE, 8), 0);
      EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 8), hdbuf);
      expect_network_words(native, wire, 0);
      for (int sized = 0; sized < 2; ++sized) EXPECT_EQ(receive_event(wire, sized), native);
    }
  }

  // A 100-byte frame head has no pattern and no receiver: every word of the
  // unit goes out big-endian, the tail as it is.
  vrq5_image_ext_frame_head fh{};
  fh.width = 640;
  fh.height = 480;
  fh.frame = 77;
  fh.scale_x = 1.5f;
  fh.image_flags = -1;
  fh.length = 100 + 61;
  const Bytes native = cat(bytes_of(fh), body(61, 0x10));
  Bytes wire = native;
  ASSERT_EQ(vrq5_convert_image_ext_head(wire.data(), wire.data()), 0);
  ASSERT_EQ(vrq5_convert_data(wire.data() + 100, wire.data() + 100, VRQ5_BLOCK_IMAGE_EXT, 100), 0);
  expect_network_words(native, wire, 0);
}

TEST(EventUtilities, IntroAndHeadConversionsStayInsideTheirRecords) {
  struct Case {
    const char* name;
    int (*convert)(void*, void*);
    size_t bytes;
  };
  const Case cases[] = {{"image head", vrq5_convert_image_head, 8},
                        {"frame head", vrq5_convert_image_ext_head, 100},
                        {"spectrum intro", vrq5_convert_spect_head, 56},
                        {"slow-data head", vrq5_convert_slow_data_head, 12},
                        {"event head", vrq5_convert_event_head, 36}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes native = body(c.bytes, 0x20);
    const Bytes guarded = cat(native, Bytes(kGuardBytes, kGuard));
    Bytes buf = guarded;
    ASSERT_EQ(c.convert(buf.data(), buf.data()), 0);
    expect_network_words(native, Bytes(buf.begin(), buf.begin() + c.bytes), 0);
    EXPECT_EQ(Bytes(buf.begin() + c.bytes, buf.end()), Bytes(kGuardBytes, kGuard));
    ASSERT_EQ(c.convert(buf.data(), buf.data()), 0);
    EXPECT_EQ(buf, guarded) << "a second conversion restores the record";

    // Exactly sized heap records: AddressSanitizer catches any stray access.
    auto exact = std::make_unique<uint8_t[]>(c.bytes);
    auto into = std::make_unique<uint8_t[]>(c.bytes);
    std::memcpy(exact.get(), native.data(), c.bytes);
    ASSERT_EQ(c.convert(exact.get(), into.get()), 0);
  }
}

TEST(EventUtilities, A36ByteRecordWithA2024PatternStaysWithin36Bytes) {
  for (uint32_t pattern : {uint32_t{VRQ5_PATTERN_EVENT_2024}, uint32_t{VRQ5_PATTERN_EVENT_2024_SWAPPED}}) {
    SCOPED_TRACE(testing::Message() << std::hex << pattern);
    set_data_format_2024(true);  // what the sender does for this header
    const Bytes native = event36(pattern, 0);
    const Bytes guarded = cat(native, Bytes(kGuardBytes, kGuard));
    Bytes buf = guarded;
    Bytes hdbuf = Bytes(36 + kGuardBytes, kGuard);
    ASSERT_EQ(vrq5_convert_event_head_sized(buf.data(), hdbuf.data(), 36), 0);
    expect_network_words(native, Bytes(hdbuf.begin(), hdbuf.begin() + 36), 0);
    EXPECT_EQ(Bytes(hdbuf.begin() + 36, hdbuf.end()), Bytes(kGuardBytes, kGuard));

    ASSERT_EQ(vrq5_convert_event_sized(buf.data(), buf.data(), 36, 36), 0);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 36), Bytes(hdbuf.begin(), hdbuf.begin() + 36));
    EXPECT_EQ(Bytes(buf.begin() + 36, buf.end()), Bytes(kGuardBytes, kGuard));

    // The unsized conversion told 36 bytes refuses a record whose pattern
    // claims 48, and writes nothing.
    buf = guarded;
    EXPECT_EQ(vrq5_convert_event_hton(buf.data(), buf.data(), 36), VRQ5_CONVERT_SHORT_LENGTH);
    EXPECT_EQ(buf, guarded);

    auto exact = std::make_unique<uint8_t[]>(36);
    std::memcpy(exact.get(), native.data(), 36);
    EXPECT_EQ(vrq5_convert_event_head_sized(exact.get(), exact.get(), 36), 0);
    EXPECT_EQ(vrq5_convert_event_sized(exact.get(), exact.get(), 36, 36), 0);
  }
}

// Runs a conversion on a copy of the guarded record and checks it is refused
// with code and that not one byte changed.
template <class Fn>
void expect_refused(const Bytes& record, int code, size_t offset, Fn convert) {
  Bytes buf = cat(record, Bytes(kGuardBytes, kGuard));
  const Bytes before = buf;
  EXPECT_EQ(convert(buf.data() + offset), code);
  EXPECT_EQ(buf, before);
}

template <class T>
void set_field(Bytes& b, size_t off, T value) {
  std::memcpy(b.data() + off, &value, sizeof value);
}

TEST(EventUtilities, ImpossibleLengthsAreRefusedWithoutTouchingMemory) {
  using ::testing::Message;
  const Bytes e36 = event36(VRQ5_PATTERN_EVENT, 8);
  const Bytes e48 = event2024(8);
  const Bytes slow = slow_block(VRQ5_PATTERN_SLOW, 8, 2);

  // Sized variants: the stated size is checked against the header size.
  expect_refused(e36, VRQ5_CONVERT_SHORT_LENGTH, 0, [](uint8_t* p) { return vrq5_convert_event_sized(p, p, 36, 35); });
  expect_refused(e48, VRQ5_CONVERT_SHORT_LENGTH, 0, [](uint8_t* p) { return vrq5_convert_event_sized(p, p, 48, 47); });
  expect_refused(e36, VRQ5_CONVERT_BAD_HEADER, 0, [](uint8_t* p) { return vrq5_convert_event_sized(p, p, 40, 44); });
  expect_refused(e36, VRQ5_CONVERT_BAD_HEADER, 0, [](uint8_t* p) { return vrq5_convert_event_head_sized(p, p, 12); });
  expect_refused(slow, VRQ5_CONVERT_SHORT_LENGTH, 0, [](uint8_t* p) { return vrq5_convert_slow_data_sized(p, p, 11); });

  // Unsized: a host-order header whose length is below its own size.
  Bytes bad = e36;
  set_field<uint32_t>(bad, 4, 35);
  expect_refused(bad, VRQ5_CONVERT_SHORT_LENGTH, 0, [](uint8_t* p) { return vrq5_convert_event_hton(p, p, -1); });
  expect_refused(e36, VRQ5_CONVERT_BAD_LENGTH, 0, [](uint8_t* p) { return vrq5_convert_event_hton(p, p, -2); });
  expect_refused(e36, VRQ5_CONVERT_SHORT_LENGTH, 0, [](uint8_t* p) { return vrq5_convert_event_hton(p, p, 20); });
  for (int64_t length : {int64_t{-1}, int64_t{47}, int64_t{1} << 33}) {
    SCOPED_TRACE(Message() << "2024 length " << length);
    bad = e48;
    set_field<int64_t>(bad, 8, length);
    const int code = length == 47 ? VRQ5_CONVERT_SHORT_LENGTH : VRQ5_CONVERT_BAD_LENGTH;
    expect_refused(bad, code, 0, [](uint8_t* p) { return vrq5_convert_event_hton(p, p, -1); });
    // The same header as a collector holds it, in the sender's other order.
    ASSERT_EQ(vrq5_convert_event_head(bad.data(), bad.data()), 0);
    expect_refused(bad, code, 0, [](uint8_t* p) { return vrq5_convert_event(p, p); });
  }
  bad = e36;
  set_field<uint32_t>(bad, 4, 12);
  ASSERT_EQ(vrq5_convert_event_head(bad.data(), bad.data()), 0);
  expect_refused(bad, VRQ5_CONVERT_SHORT_LENGTH, 0, [](uint8_t* p) { return vrq5_convert_event(p, p); });

  bad = slow;
  set_field<uint32_t>(bad, 4, 8);
  expect_refused(bad, VRQ5_CONVERT_SHORT_LENGTH, 12,
                 [](uint8_t* p) { return vrq5_convert_slow_data_block_hton(p, p, 2, VRQ5_PATTERN_SLOW); });
  expect_refused(slow, VRQ5_CONVERT_BAD_HEADER, 12, [](uint8_t* p) {  // body not behind a header of its pattern
    return vrq5_convert_slow_data_block_hton(p, p, 2, VRQ5_PATTERN_SLOW_2024);
  });
  ASSERT_EQ(vrq5_convert_slow_data_head(bad.data(), bad.data()), 0);
  expect_refused(bad, VRQ5_CONVERT_SHORT_LENGTH, 0, [](uint8_t* p) { return vrq5_convert_slow_data(p, p); });

  // Image bodies: the head just before the body is already converted.
  Bytes image = cat(bytes_of(vrq5_image_head{VRQ5_PATTERN_EVENT, 7}), body(8, 0));
  ASSERT_EQ(vrq5_convert_image_head(image.data(), image.data()), 0);
  expect_refused(image, VRQ5_CONVERT_SHORT_LENGTH, 8, [](uint8_t* p) { return vrq5_convert_data(p, p, 13, 8); });
  expect_refused(image, VRQ5_CONVERT_BAD_TYPE, 8, [](uint8_t* p) { return vrq5_convert_data(p, p, 5, 8); });
  expect_refused(image, VRQ5_CONVERT_BAD_HEADER, 8, [](uint8_t* p) { return vrq5_convert_data(p, p, 13, 100); });
  vrq5_image_ext_frame_head fh{};
  fh.length = -108;
  Bytes ext = cat(bytes_of(fh), body(8, 0));
  ASSERT_EQ(vrq5_convert_image_ext_head(ext.data(), ext.data()), 0);
  expect_refused(ext, VRQ5_CONVERT_BAD_LENGTH, 100, [](uint8_t* p) { return vrq5_convert_data(p, p, 27, 100); });
  expect_refused(ext, VRQ5_CONVERT_BAD_HEADER, 100, [](uint8_t* p) { return vrq5_convert_data(p, p, 27, 8); });

  // A null pointer on either side.
  uint8_t any[64] = {};
  EXPECT_EQ(vrq5_convert_event_head(nullptr, any), VRQ5_CONVERT_NULL);
  EXPECT_EQ(vrq5_convert_event(any, nullptr), VRQ5_CONVERT_NULL);
  EXPECT_EQ(vrq5_convert_event_hton(nullptr, nullptr, -1), VRQ5_CONVERT_NULL);
  EXPECT_EQ(vrq5_convert_slow_data(nullptr, any), VRQ5_CONVERT_NULL);
  EXPECT_EQ(vrq5_convert_slow_data_block_hton(nullptr, any, 0, 0), VRQ5_CONVERT_NULL);
  EXPECT_EQ(vrq5_convert_data(any, nullptr, 13, 8), VRQ5_CONVERT_NULL);
  EXPECT_EQ(vrq5_convert_spect_head(nullptr, any), VRQ5_CONVERT_NULL);
  EXPECT_EQ(vrq5_convert_event_sized(nullptr, any, 36, 36), VRQ5_CONVERT_NULL);
  EXPECT_EQ(vrq5_convert_words_sized(any, nullptr, 4), VRQ5_CONVERT_NULL);
}

TEST(EventUtilities, EveryCodeHasAReadableText) {
  std::set<std::string> known;
  for (int code = VRQ5_CONVERT_OK; code <= VRQ5_CONVERT_BAD_TYPE; ++code) {
    const char* text = vrq5_get_convert_error(code);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(std::strlen(text), 0u);
    known.insert(text);
  }
  EXPECT_EQ(known.size(), 6u) << "each code has its own text";
  // The collector passes the link's status (29) after a failed repair.
  for (int code : {6, 29, -1, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()}) {
    const char* text = vrq5_get_convert_error(code);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(std::strlen(text), 0u);
    EXPECT_EQ(known.count(text), 0u) << code;
  }
}

TEST(EventUtilities, Swap4AndWordsReverseEachWordOnly) {
  int words[3] = {0x01020304, static_cast<int>(0xAABBCCDDu), 0x7F000001};
  int out[3] = {0, 0, 0};
  vrq5_swap4(words, out, 2);
  EXPECT_EQ(static_cast<uint32_t>(out[0]), 0x04030201u);
  EXPECT_EQ(static_cast<uint32_t>(out[1]), 0xDDCCBBAAu);
  EXPECT_EQ(out[2], 0) << "only n words";
  vrq5_swap4(words, words, 0);
  EXPECT_EQ(words[0], 0x01020304);
  vrq5_swap4(words, words, 1);
  EXPECT_EQ(static_cast<uint32_t>(words[0]), 0x04030201u);

  const Bytes native = body(10, 0);
  Bytes wire(10, 0);
  ASSERT_EQ(vrq5_convert_words_sized(native.data(), wire.data(), native.size()), 0);
  expect_network_words(native, wire, 0);
}

TEST(EventUtilities, OneGenerationInForceAtATime) {
  struct Step {
    uint32_t v;
    bool is2024;
    bool is2010;
  };
  // The collector's calls for a stream that alternates generations.
  const Step stream[] = {{VRQ5_PATTERN_EVENT_2024, true, false}, {VRQ5_PATTERN_EVENT, false, false},
                         {VRQ5_PATTERN_SLOW_2024, true, false},  {VRQ5_PATTERN_EVENT_2010, false, true},
                         {VRQ5_PATTERN_EVENT_2024, true, false}, {VRQ5_PATTERN_EVENT_2010_SWAPPED, false, true},
                         {VRQ5_PATTERN_SLOW, false, false},      {VRQ5_PATTERN_EVENT_2010, false, true},
                         {VRQ5_PATTERN_SLOW_2024, true, false},  {VRQ5_PATTERN_SLOW, false, false},
                         {VRQ5_PATTERN_EVENT_2024, true, false}, {VRQ5_PATTERN_EVENT_2024, true, false}};
  for (const Step& s : stream) {
    SCOPED_TRACE(testing::Message() << std::hex << s.v);
    receiver_switch(s.v);
    EXPECT_EQ(is_data_format_2024(), s.is2024);
    EXPECT_EQ(is_data_format_2010(), s.is2010);
  }

  // A false from either call leaves the older generation, whichever was set.
  set_data_format_2010(true);
  set_data_format_2024(false);
  EXPECT_FALSE(is_data_format_2010());
  EXPECT_FALSE(is_data_format_2024());
  set_data_format_2024(true);
  set_data_format_2010(false);  // the sender's call for a 48-byte header without the 2024 pattern
  EXPECT_FALSE(is_data_format_2024());
  set_data_format_2024(true);
  set_data_format_2010(true);
  EXPECT_TRUE(is_data_format_2010());
  EXPECT_FALSE(is_data_format_2024());
}

}  // namespace
