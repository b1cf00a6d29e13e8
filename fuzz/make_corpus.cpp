// make_corpus.cpp - writes the seed corpora of the fuzz targets: valid units
// of every kind in both byte orders, the records each conversion takes, and
// a few ring-buffer operation sequences. Run it from the source tree:
//   make_corpus fuzz/corpus
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "wire_units.h"

using namespace testsupport;

namespace {

std::filesystem::path g_root;

void put(const std::string& target, const std::string& name, const Bytes& bytes) {
  const auto dir = g_root / target;
  std::filesystem::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes with_prefix(std::initializer_list<uint8_t> prefix, const Bytes& rest) {
  Bytes b(prefix);
  append(b, rest);
  return b;
}

// The receive target's first byte: receiver + 3 * ring choice + 9 * order.
uint8_t selector(int receiver, int ring, int order) { return static_cast<uint8_t>(receiver + 3 * ring + 9 * order); }

Bytes event_stream(bool other) {
  Bytes s = event36(VRQ5_PATTERN_EVENT_2010, 1, 40, other);
  append(s, event36(VRQ5_PATTERN_EVENT, 2, 0, other));
  append(s, event48(3, 24, other));
  append(s, slow(VRQ5_PATTERN_SLOW, 16, other));
  append(s, slow(VRQ5_PATTERN_SLOW_2024, 8, other));
  return s;
}

void receive_corpus() {
  enum { kEvents, kImages, kSpectra };
  enum { kNative, kBigEnd, kBigEndMasked, kNativeMasked, kBigEndFlipping };
  for (int ring = 0; ring < 3; ++ring) {
    put("receive", "events-native-ring" + std::to_string(ring),
        with_prefix({selector(kEvents, ring, kNative)}, event_stream(false)));
    put("receive", "events-bigend-ring" + std::to_string(ring),
        with_prefix({selector(kEvents, ring, kBigEnd)}, event_stream(true)));
  }
  put("receive", "events-masked", with_prefix({selector(kEvents, 0, kBigEndMasked)}, event_stream(false)));
  put("receive", "events-flipping", with_prefix({selector(kEvents, 2, kBigEndFlipping)}, event_stream(true)));
  // A producer of the other order without a handshake: the reversed 2010
  // pattern switches conversion on by itself.
  put("receive", "events-auto-switch", with_prefix({selector(kEvents, 0, kNative)}, event_stream(true)));
  put("receive", "events-junk-first",
      with_prefix({selector(kEvents, 1, kNative), 0xFF, 0xEE, 0x00, 0xFF}, event36(VRQ5_PATTERN_EVENT, 9, 8, false)));
  // A length far beyond the stream, against a ring that refuses it and
  // without a ring (the body then ends at the end of the stream).
  Bytes huge = event36(VRQ5_PATTERN_EVENT_2010, 4, 8, false);
  huge[4] = 0x00;
  huge[5] = 0x00;
  huge[6] = 0x10;  // 1 MiB
  put("receive", "events-long-ring", with_prefix({selector(kEvents, 1, kNative)}, huge));
  put("receive", "events-long-noring", with_prefix({selector(kEvents, 0, kNative)}, huge));
  for (int buf = 0; buf < 3; ++buf) {
    for (int order : {kNative, kBigEnd}) {
      const bool other = order == kBigEnd;
      const std::string suffix = std::string(other ? "-bigend" : "-native") + "-buf" + std::to_string(buf);
      Bytes images = intro_unit<vrq5_image_ext_intro>(VRQ5_PATTERN_EVENT_2010, 32, other);
      append(images, intro_unit<vrq5_image_ext_intro>(VRQ5_PATTERN_EVENT_2024, 0, other));
      put("receive", "images" + suffix, with_prefix({selector(kImages, buf, order)}, images));
      Bytes spectra = intro_unit<vrq5_spect_intro>(VRQ5_PATTERN_EVENT, 40, other);
      append(spectra, intro_unit<vrq5_spect_intro>(VRQ5_PATTERN_EVENT_2010, 4, other));
      put("receive", "intro56" + suffix, with_prefix({selector(kSpectra, buf, order)}, spectra));
    }
  }
}

void evutl_corpus() {
  const Bytes e36 = event36(VRQ5_PATTERN_EVENT_2010, 5, 20, false);
  const Bytes e36_other = event36(VRQ5_PATTERN_EVENT, 5, 20, true);
  const Bytes e48 = event48(6, 16, false);
  const Bytes s12 = slow(VRQ5_PATTERN_SLOW_2024, 12, false);
  const Bytes s12_other = slow(VRQ5_PATTERN_SLOW, 12, true);
  Bytes image8 = {0xDD, 0xFF, 0xEE, 0xFF, 0x00, 0x00, 0x00, 0x10};  // length 16, already in the other order
  append(image8, filler(8, 1));
  Bytes image100 = filler(96, 2);
  append(image100, {0x00, 0x00, 0x00, 0x6C});  // length 108 in the other order
  append(image100, filler(8, 3));
  const Bytes spect = intro_unit<vrq5_spect_intro>(VRQ5_PATTERN_EVENT, 0, false);
  struct Seed {
    uint8_t which, param;
    const Bytes* body;
    const char* name;
  };
  const Seed seeds[] = {
      {0, 0, &e36, "event-head-36"},        {0, 0, &e48, "event-head-48"},
      {1, 0, &e36, "event-head-sized-36"},  {1, 1, &e48, "event-head-sized-48"},
      {2, 0, &e36_other, "event-received"}, {2, 0, &e48, "event-received-48"},
      {3, 0, &e36, "event-hton"},           {3, 0, &e48, "event-hton-48"},
      {3, 1, &e36, "event-hton-len"},       {4, 0, &s12_other, "slow-received"},
      {5, 1, &s12, "slow-block-hton"},      {6, 0, &image8, "image-data-13"},
      {6, 1, &image100, "image-data-27"},   {7, 0, &s12, "slow-head"},
      {8, 0, &image8, "image-head"},        {9, 0, &image100, "image-ext-head"},
      {10, 0, &spect, "intro56-head"},      {11, 1, &e48, "event-sized-48"},
      {11, 2, &e36, "event-sized-36"},      {12, 0, &s12, "slow-sized"},
      {13, 0, &e36, "words-sized"},         {14, 0, &e36, "swap4"},
      {15, 0, &s12, "error-text"},          {16, 0, &e36, "data-format"},
      {17, 0, &s12, "null-pointers"},
  };
  for (const Seed& seed : seeds) put("evutl", seed.name, with_prefix({seed.which, seed.param}, *seed.body));
}

void ringbuffer_corpus() {
  // capacity (2 bytes), then (opcode, 16-bit length) triples: 0/1 write,
  // 2 read, 3 refusals, 4 nothing.
  put("ringbuffer", "fill-and-wrap",
      {0x00, 0x01, 0, 0xC0, 0x00, 2, 0x80, 0x00, 1, 0x80, 0x00, 0, 0x40, 0x00, 2, 0xFF, 0x01, 3, 0x10, 0x00});
  put("ringbuffer", "exact-fit", {0x40, 0x00, 0, 0x40, 0x00, 1, 0x01, 0x00, 2, 0x20, 0x00, 0, 0x20, 0x00});
  put("ringbuffer", "empty-ring", {0x00, 0x00, 0, 0x01, 0x00, 2, 0x01, 0x00, 3, 0x00, 0x00});
  put("ringbuffer", "large", {0x00, 0x10, 0, 0x00, 0x08, 0, 0x00, 0x08, 2, 0x00, 0x04, 1, 0x00, 0x04, 2, 0xFF, 0xFF});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_corpus <corpus directory>\n");
    return 2;
  }
  g_root = argv[1];
  receive_corpus();
  evutl_corpus();
  ringbuffer_corpus();
  return 0;
}
