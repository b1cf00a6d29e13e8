// test_image_spect.cpp - image and spectrum reception from a raw peer that
// writes crafted intros and data: pattern search, sizes, byte order, the own
// counter, a vanishing peer and the EAGAIN rules of each phase.
#include "DataLink.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "test_support.h"

using namespace testsupport;

// ---- EAGAIN injection ----
// While armed, read() on a socket lets `g_reads_to_pass` reads through and
// then fails `g_eagain_left` times with EAGAIN, leaving the bytes in the
// socket. The link reads with read(); the raw peers use recv() and Capture a
// file, so only the link meets the fault. A socket that select() reports
// readable does not give EAGAIN by itself, hence the shim.
namespace {
std::atomic<int> g_reads_to_pass{0};
std::atomic<int> g_eagain_left{0};

void arm_eagain(int pass, int fail) {
  g_reads_to_pass = pass;
  g_eagain_left = fail;
}
}  // namespace

extern "C" __attribute__((visibility("default"))) ssize_t read(int fd, void* buf, size_t count) {
  using ReadFn = ssize_t (*)(int, void*, size_t);
  static const ReadFn real = reinterpret_cast<ReadFn>(dlsym(RTLD_NEXT, "read"));
  struct stat st;
  if (g_eagain_left > 0 && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode)) {
    if (g_reads_to_pass > 0) {
      --g_reads_to_pass;
    } else {
      --g_eagain_left;
      errno = EAGAIN;
      return -1;
    }
  }
  return real(fd, buf, count);
}

namespace {

constexpr uint32_t kPatterns[] = {0xFFEEFFDDu, 0xFFEEFFEEu, 0xFFCCFFCCu};

// What differs between the two paths, for the typed tests below.
struct ImagePath {
  using Intro = vrq5_image_ext_intro;
  static constexpr bool kIntroEagainCounts = false;  // and the data's EAGAIN counts
  static constexpr const char* kReadPatternFailed = "ReceiveImage(): read pattern 2 failed";
  static constexpr const char* kPatternEmpty =
      "ReceiveImage(): read pattern too many empty messages, consider TCP connection broken";
  static constexpr const char* kIntroEmpty =
      "ReceiveImage(): read heaser too many empty messages, consider TCP connection broken";
  static constexpr const char* kDataEmpty =
      "ReceiveImage(): read image too many empty messages, consider TCP connection broken";
  static int header(DataLink& link, Intro* in) { return link.ReceiveImageHeader(in); }
  static int data(DataLink& link, Intro* in, char** buf, int sz) { return link.ReceiveImageData(in, buf, sz); }
  static int both(DataLink& link, Intro* in, char** buf, int sz) { return link.ReceiveImage(in, buf, sz); }
};

struct SpectPath {
  using Intro = vrq5_spect_intro;
  static constexpr bool kIntroEagainCounts = true;  // and the data's EAGAIN does not
  static constexpr const char* kReadPatternFailed = "SpectImage(): read pattern 2 failed";
  static constexpr const char* kPatternEmpty =
      "SpectImage(): read pattern too many empty messages, consider TCP connection broken";
  static constexpr const char* kIntroEmpty =
      "SpectSpect(): read heaser too many empty messages, consider TCP connection broken";
  static constexpr const char* kDataEmpty =
      "ReceiveSpectData(): read image too many empty messages, consider TCP connection broken";
  static int header(DataLink& link, Intro* in) { return link.ReceiveSpectHeader(in); }
  static int data(DataLink& link, Intro* in, char** buf, int sz) { return link.ReceiveSpectData(in, buf, sz); }
  static int both(DataLink& link, Intro* in, char** buf, int sz) { return link.ReceiveSpect(in, buf, sz); }
};

// An intro whose every word after the head differs from the others and is
// not a palindrome, so a field left unconverted shows.
template <typename Intro>
Intro make_intro(uint32_t pattern, uint32_t data_bytes) {
  Intro in;
  in.intro.pattern = pattern;
  in.intro.length = static_cast<uint32_t>(sizeof(Intro)) + data_bytes;
  for (size_t i = 0; i < sizeof in.head / 4; ++i) {
    uint32_t word = 0x11223340u + static_cast<uint32_t>(i);
    std::memcpy(reinterpret_cast<char*>(&in.head) + 4 * i, &word, 4);
  }
  return in;
}

// The intro as the receiver must hand it back: the pattern is not kept.
template <typename Intro>
Intro received_form(Intro in) {
  in.intro.pattern = 0;
  return in;
}

// The intro's bytes on the wire; a peer of the other byte order reverses
// every 4-byte word.
template <typename Intro>
Bytes wire(const Intro& in, bool other_order = false) {
  Bytes bytes(sizeof in);
  std::memcpy(bytes.data(), &in, sizeof in);
  if (other_order)
    for (size_t i = 0; i < bytes.size(); i += 4) std::reverse(bytes.begin() + i, bytes.begin() + i + 4);
  return bytes;
}

Bytes payload(size_t n, uint8_t seed) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + 7 * i);
  return bytes;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

template <typename Intro>
bool same(const Intro& a, const Intro& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Writes everything, then half-closes: a receiver that reads past what it
// should meets the end of the stream and fails instead of hanging.
void send_and_close(int peer, const Bytes& bytes) {
  ASSERT_TRUE(write_all(peer, bytes));
  shutdown(peer, SHUT_WR);
}

bool reports(const std::string& text, const char* message) {
  return text.find(std::string(message) + ": ") != std::string::npos;
}

// A buffer from ReceiveImageData/ReceiveSpectData belongs to the caller.
struct Owned {
  char* p = nullptr;
  ~Owned() { delete[] p; }
};

template <typename Path>
class IntroReception : public ::testing::Test {};
using Paths = ::testing::Types<ImagePath, SpectPath>;
TYPED_TEST_SUITE(IntroReception, Paths);

}  // namespace

TYPED_TEST(IntroReception, FindsEachPatternBehindStrayBytesAndReadsNoFurther) {
  using Intro = typename TypeParam::Intro;
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  DataLink& link = *pair->link;
  // Stray bytes: zeros, pattern fragments, a slow-data pattern and the
  // byte-reversed start patterns, none of which opens an intro.
  Bytes stream{0x00, 0xFF, 0xEE, 0xFF, 0x00, 0xCC, 0xFF, 0xEE, 0xFF, 0x17};
  for (uint32_t p : kPatterns) stream = stream + swapped_order_bytes(p) + Bytes{0x00};
  for (uint32_t p : kPatterns) stream = stream + wire(make_intro<Intro>(p, 37)) + payload(37, static_cast<uint8_t>(p));
  // A record without data and one read into the caller's own buffer.
  stream = stream + wire(make_intro<Intro>(kPatterns[0], 0)) + wire(make_intro<Intro>(kPatterns[2], 5)) + payload(5, 9);
  send_and_close(pair->peer, stream);

  for (uint32_t p : kPatterns) {
    Intro in;
    Owned buf;
    ASSERT_EQ(TypeParam::both(link, &in, &buf.p, 1000), DL_OK) << std::hex << p;
    EXPECT_TRUE(same(in, received_form(make_intro<Intro>(p, 37)))) << std::hex << p;
    ASSERT_NE(buf.p, nullptr);
    EXPECT_EQ(Bytes(buf.p, buf.p + 37), payload(37, static_cast<uint8_t>(p)));
  }
  {
    Intro in;
    Owned buf;  // a null *buf with no data still gets a (zero-length) array
    ASSERT_EQ(TypeParam::both(link, &in, &buf.p, 0), DL_OK);
    EXPECT_TRUE(same(in, received_form(make_intro<Intro>(kPatterns[0], 0))));
    EXPECT_NE(buf.p, nullptr);
  }
  char own[5] = {};
  char* dst = own;
  Intro in;
  ASSERT_EQ(TypeParam::both(link, &in, &dst, sizeof own), DL_OK);
  EXPECT_EQ(dst, own);
  EXPECT_EQ(Bytes(own, own + 5), payload(5, 9));
  EXPECT_FALSE(link.peer_closed());  // nothing was read beyond the last record
}

TYPED_TEST(IntroReception, SizeRefusalsReadNothingAndCountNothing) {
  using Intro = typename TypeParam::Intro;
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  DataLink& link = *pair->link;
  Intro shorter = make_intro<Intro>(kPatterns[1], 0);
  shorter.intro.length = sizeof(Intro) - 1;
  send_and_close(pair->peer, wire(shorter) + wire(make_intro<Intro>(kPatterns[1], 8)) + payload(8, 3));
  const int count0 = link.get_event_number();

  Intro in;
  Owned buf;
  ASSERT_EQ(TypeParam::header(link, &in), DL_OK);
  EXPECT_EQ(in.intro.length, sizeof(Intro) - 1);
  EXPECT_EQ(TypeParam::data(link, &in, &buf.p, 1000), DL_ERR_VALUE);
  EXPECT_EQ(buf.p, nullptr);

  ASSERT_EQ(TypeParam::header(link, &in), DL_OK);
  EXPECT_EQ(TypeParam::data(link, &in, &buf.p, 7), DL_ERR_BUFFER_SIZE);
  EXPECT_EQ(buf.p, nullptr);
  char small[7] = {1, 2, 3, 4, 5, 6, 7};
  char* dst = small;
  EXPECT_EQ(TypeParam::data(link, &in, &dst, 7), DL_ERR_BUFFER_SIZE);
  EXPECT_EQ(dst, small);
  EXPECT_EQ(small[0], 1);
  // Null arguments are refused before anything else.
  EXPECT_EQ(TypeParam::data(link, nullptr, &buf.p, 1000), DL_ERR_VALUE);
  EXPECT_EQ(TypeParam::data(link, &in, nullptr, 1000), DL_ERR_VALUE);
  EXPECT_EQ(link.get_event_number(), count0);

  // The refused data are still there, whole.
  ASSERT_EQ(TypeParam::data(link, &in, &buf.p, 8), DL_OK);
  EXPECT_EQ(Bytes(buf.p, buf.p + 8), payload(8, 3));
  EXPECT_EQ(link.get_event_number(), count0 + 1);

  // A length beyond any int cannot fit the caller's buffer.
  in.intro.length = 0xFFFFFFFFu;
  char* untouched = nullptr;
  EXPECT_EQ(TypeParam::data(link, &in, &untouched, std::numeric_limits<int>::max()), DL_ERR_BUFFER_SIZE);
  EXPECT_EQ(untouched, nullptr);
  EXPECT_EQ(TypeParam::header(link, nullptr), DL_ERR_VALUE);
  EXPECT_EQ(link.get_event_number(), count0 + 1);
}

TYPED_TEST(IntroReception, SwappingLinkConvertsTheWholeIntroButNotTheData) {
  using Intro = typename TypeParam::Intro;
  auto pair = caller_with_raw_peer(swapped_order_bytes(0x0A0B0C0Du));
  ASSERT_TRUE(pair);
  ASSERT_EQ(pair->status, DL_OK);
  DataLink& link = *pair->link;
  ASSERT_TRUE(link.get_swap());
  // A pattern in the receiver's own order opens nothing on this link.
  Bytes stream = host_order_bytes(kPatterns[0]) + Bytes{0x42};
  for (uint32_t p : kPatterns) stream = stream + wire(make_intro<Intro>(p, 11), true) + payload(11, 0x30);
  stream = stream + wire(make_intro<Intro>(kPatterns[2], 4)) + payload(4, 0x50);
  send_and_close(pair->peer, stream);

  for (uint32_t p : kPatterns) {
    Intro in;
    Owned buf;
    ASSERT_EQ(TypeParam::both(link, &in, &buf.p, 100), DL_OK) << std::hex << p;
    EXPECT_TRUE(same(in, received_form(make_intro<Intro>(p, 11)))) << std::hex << p;
    EXPECT_EQ(Bytes(buf.p, buf.p + 11), payload(11, 0x30));
  }
  // With the swap masked, records are taken as they arrive.
  link.set_swap_mask(true);
  Intro in;
  Owned buf;
  ASSERT_EQ(TypeParam::both(link, &in, &buf.p, 100), DL_OK);
  EXPECT_TRUE(same(in, received_form(make_intro<Intro>(kPatterns[2], 4))));
  EXPECT_EQ(Bytes(buf.p, buf.p + 4), payload(4, 0x50));
}

TYPED_TEST(IntroReception, PeerClosingEndsEachPhaseWithItsMessage) {
  using Intro = typename TypeParam::Intro;
  const Bytes record = wire(make_intro<Intro>(kPatterns[2], 64)) + payload(64, 1);
  struct Phase {
    size_t bytes_sent;
    const char* message;
  };
  const Phase phases[] = {{3, TypeParam::kPatternEmpty},
                          {sizeof(Intro) - 1, TypeParam::kIntroEmpty},
                          {sizeof(Intro) + 20, TypeParam::kDataEmpty}};
  for (const Phase& phase : phases) {
    auto pair = listener_with_raw_peer();
    ASSERT_TRUE(pair);
    send_and_close(pair->peer, Bytes(record.begin(), record.begin() + static_cast<long>(phase.bytes_sent)));
    close_fd(pair->peer);
    const int count0 = pair->link->get_event_number();
    Intro in;
    Owned buf;
    Capture err(2);
    EXPECT_EQ(TypeParam::both(*pair->link, &in, &buf.p, 1000), DL_ERR_READ) << phase.message;
    EXPECT_TRUE(reports(err.text(), phase.message)) << err.text();
    EXPECT_TRUE(pair->link->peer_closed());
    // Data cut short: the buffer was allocated and the record counted.
    const bool in_data = phase.bytes_sent > sizeof(Intro);
    EXPECT_EQ(buf.p != nullptr, in_data);
    EXPECT_EQ(pair->link->get_event_number(), count0 + (in_data ? 1 : 0));
  }
}

TYPED_TEST(IntroReception, EagainRulesOfEachPhase) {
  using Intro = typename TypeParam::Intro;
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  DataLink& link = *pair->link;
  const Bytes record = wire(make_intro<Intro>(kPatterns[0], 16)) + payload(16, 2);
  send_and_close(pair->peer, record + record + record + record);
  Intro in;

  // Pattern search: any failed read is fatal, EAGAIN included. Nothing was
  // consumed, so the record is still whole afterwards.
  arm_eagain(0, 1);
  {
    Capture err(2);
    EXPECT_EQ(TypeParam::header(link, &in), DL_ERR_READ);
    EXPECT_TRUE(reports(err.text(), TypeParam::kReadPatternFailed)) << err.text();
  }
  // Rest of the intro (behind four one-byte pattern reads) and then the data:
  // one of the two phases counts EAGAIN as an empty read, the other retries.
  const int counted = 1000;
  const int beyond_the_limit = 1500;
  {
    arm_eagain(4, TypeParam::kIntroEagainCounts ? counted - 1 : beyond_the_limit);
    EXPECT_EQ(TypeParam::header(link, &in), DL_OK);
    EXPECT_EQ(g_eagain_left.load(), 0);
    arm_eagain(0, TypeParam::kIntroEagainCounts ? beyond_the_limit : counted - 1);
    Owned buf;
    EXPECT_EQ(TypeParam::data(link, &in, &buf.p, 16), DL_OK);
    EXPECT_EQ(g_eagain_left.load(), 0);
    EXPECT_EQ(Bytes(buf.p, buf.p + 16), payload(16, 2));
  }
  {
    Owned buf;
    Capture err(2);
    if (TypeParam::kIntroEagainCounts) {
      arm_eagain(4, counted);
      EXPECT_EQ(TypeParam::header(link, &in), DL_ERR_READ);
      EXPECT_TRUE(reports(err.text(), TypeParam::kIntroEmpty)) << err.text();
    } else {
      ASSERT_EQ(TypeParam::header(link, &in), DL_OK);
      arm_eagain(0, counted);
      EXPECT_EQ(TypeParam::data(link, &in, &buf.p, 16), DL_ERR_READ);
      EXPECT_TRUE(reports(err.text(), TypeParam::kDataEmpty)) << err.text();
    }
  }
  arm_eagain(0, 0);
}

TYPED_TEST(IntroReception, UnconnectedLinkRefusesTheHeaderAndFailsTheData) {
  using Intro = typename TypeParam::Intro;
  DataLink link(0);
  Intro in;
  std::memset(&in, 0xAB, sizeof in);
  const Intro before = in;
  Owned buf;
  {
    Capture err(2);
    EXPECT_EQ(TypeParam::both(link, &in, &buf.p, 100), DL_ERR_NOT_CONNECTED);
    EXPECT_EQ(err.text(), "ReceiveImage():: Not connected.  No action taken.\n");
  }
  EXPECT_TRUE(same(in, before));
  EXPECT_EQ(buf.p, nullptr);
  // The data step alone fails in its wait: counted, allocated, 16.
  const int count0 = link.get_event_number();
  in = make_intro<Intro>(kPatterns[0], 10);
  EXPECT_EQ(TypeParam::data(link, &in, &buf.p, 100), DL_ERR_READ);
  EXPECT_NE(buf.p, nullptr);
  EXPECT_EQ(link.get_event_number(), count0 + 1);
}
