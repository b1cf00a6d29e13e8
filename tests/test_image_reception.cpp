// test_image_reception.cpp - image and spectrum reception from a raw peer that
// writes crafted intros and data: pattern search, sizes, byte order, the own
// counter, a vanishing peer and the EAGAIN rules of each phase.
#include "DataLink.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "test_support.h"

using namespace testsupport;

// A socket that the wait reports readable does not give EAGAIN by itself, so
// the link's receives are wrapped. While g_step_reads is set, the link reads
// as it would without its read-ahead: its tries report "would block" and each
// read after a wait takes only the bytes the step asks for. Reads on sockets
// then pass `g_pass` times and fail `g_fail` times with EAGAIN, leaving the
// bytes in place. Only the link uses readv() and recvmsg(); the raw peers use
// recv().
namespace {
std::atomic<int> g_pass{0}, g_fail{0};
std::atomic<bool> g_step_reads{false};
}  // namespace

extern "C" __attribute__((visibility("default"))) ssize_t readv(int fd, const struct iovec* iov, int count) {
  static const auto real = reinterpret_cast<ssize_t (*)(int, const struct iovec*, int)>(dlsym(RTLD_NEXT, "readv"));
  struct stat st;
  if (!g_step_reads || fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return real(fd, iov, count);
  if (g_fail > 0 && g_pass-- <= 0) {
    --g_fail;
    errno = EAGAIN;
    return -1;
  }
  return real(fd, iov, 1);
}

extern "C" __attribute__((visibility("default"))) ssize_t recvmsg(int fd, struct msghdr* message, int flags) {
  static const auto real = reinterpret_cast<ssize_t (*)(int, struct msghdr*, int)>(dlsym(RTLD_NEXT, "recvmsg"));
  if (g_step_reads && (flags & MSG_DONTWAIT) != 0) {
    errno = EAGAIN;
    return -1;
  }
  return real(fd, message, flags);
}

namespace {

constexpr uint32_t kPatterns[] = {0xFFEEFFDDu, 0xFFEEFFEEu, 0xFFCCFFCCu};

struct ImagePath {
  using Intro = vrq5_image_ext_intro;
  static constexpr bool kIntroEagainCounts = false;  // the data's EAGAIN counts instead
  static constexpr const char* kPatternFailed = "ReceiveImage(): read pattern 2 failed";
  static constexpr const char* kEmpty[] = {
      "ReceiveImage(): read pattern too many empty messages, consider TCP connection broken",
      "ReceiveImage(): read heaser too many empty messages, consider TCP connection broken",
      "ReceiveImage(): read image too many empty messages, consider TCP connection broken"};
  static constexpr auto header = &DataLink::ReceiveImageHeader;
  static constexpr auto data = &DataLink::ReceiveImageData;
  static constexpr auto both = &DataLink::ReceiveImage;
};

struct SpectPath {
  using Intro = vrq5_spect_intro;
  static constexpr bool kIntroEagainCounts = true;  // the data's EAGAIN does not
  static constexpr const char* kPatternFailed = "SpectImage(): read pattern 2 failed";
  static constexpr const char* kEmpty[] = {
      "SpectImage(): read pattern too many empty messages, consider TCP connection broken",
      "SpectSpect(): read heaser too many empty messages, consider TCP connection broken",
      "ReceiveSpectData(): read image too many empty messages, consider TCP connection broken"};
  static constexpr auto header = &DataLink::ReceiveSpectHeader;
  static constexpr auto data = &DataLink::ReceiveSpectData;
  static constexpr auto both = &DataLink::ReceiveSpect;
};

// Every word of the head differs and none is a palindrome, so a field left
// unconverted shows. With pattern 0 this is the form the receiver returns.
template <typename Intro>
Intro intro(uint32_t pattern, uint32_t data_bytes) {
  Intro in;
  in.intro = {pattern, uint32_t(sizeof(Intro) + data_bytes)};
  for (uint32_t i = 0; i < sizeof in.head / 4; ++i) {
    uint32_t word = 0x11223340u + i;
    std::memcpy(reinterpret_cast<char*>(&in.head) + 4 * i, &word, 4);
  }
  return in;
}

// The intro's bytes on the wire; a peer of the other byte order reverses each word.
template <typename Intro>
Bytes wire(const Intro& in, bool other_order = false) {
  return other_order ? words_reversed(bytes_of(in)) : bytes_of(in);
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

template <typename Intro>
bool same(const Intro& a, const Intro& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Half-closes after the bytes: a receiver that reads too far meets the end
// of the stream and fails instead of hanging.
void send_and_close(int peer, const Bytes& bytes) {
  ASSERT_TRUE(write_all(peer, bytes));
  shutdown(peer, SHUT_WR);
}

bool reports(const std::string& text, const char* message) {
  return text.find(std::string(message) + ": ") != std::string::npos;
}

struct Owned {  // a buffer the call allocated belongs to the caller
  char* p = nullptr;
  ~Owned() { delete[] p; }
};

template <typename Path>
class IntroReception : public ::testing::Test {
 protected:
  void TearDown() override {  // disarmed even after a failed assertion
    g_pass = g_fail = 0;
    g_step_reads = false;
  }
};
using Paths = ::testing::Types<ImagePath, SpectPath>;
TYPED_TEST_SUITE(IntroReception, Paths);

}  // namespace

TYPED_TEST(IntroReception, FindsEachPatternInEitherByteOrderAndReadsNoFurther) {
  using P = TypeParam;
  using Intro = typename P::Intro;
  for (bool other_order : {false, true}) {
    auto native = other_order ? nullptr : listener_with_raw_peer();
    auto swapping = other_order ? caller_with_raw_peer(swapped_order_bytes(0x0A0B0C0Du)) : nullptr;
    ASSERT_TRUE(native || (swapping && swapping->status == DL_OK));
    DataLink& link = native ? *native->link : *swapping->link;
    ASSERT_EQ(link.get_swap(), other_order);
    // Stray bytes: pattern fragments, a slow-data pattern and the start
    // patterns as the wrong byte order gives them; none opens an intro.
    Bytes stream{0x00, 0xFF, 0xEE, 0xFF, 0x00, 0xCC, 0xFF, 0xEE, 0xFF, 0x17};
    for (uint32_t p : kPatterns)
      stream = stream + (other_order ? host_order_bytes(p) : swapped_order_bytes(p)) + Bytes{0};
    for (uint32_t p : kPatterns) stream = stream + wire(intro<Intro>(p, 37), other_order) + filler(37, uint8_t(p));
    stream =
        stream + wire(intro<Intro>(kPatterns[0], 0), other_order) + wire(intro<Intro>(kPatterns[2], 5), other_order);
    send_and_close(native ? native->peer : swapping->peer, stream + filler(5, 9));
    const int count0 = link.get_event_number();

    for (uint32_t p : kPatterns) {
      Intro in;
      std::memset(&in, 0xAB, sizeof in);
      Owned buf;
      ASSERT_EQ((link.*P::both)(&in, &buf.p, 1000), DL_OK) << std::hex << p;
      EXPECT_TRUE(same(in, intro<Intro>(0, 37))) << std::hex << p;  // host order, pattern not kept
      EXPECT_EQ(Bytes(buf.p, buf.p + 37), filler(37, uint8_t(p)));  // data as sent
    }
    Intro in;
    Owned empty;  // no data, yet a null *buf gets a zero-length array
    ASSERT_EQ((link.*P::both)(&in, &empty.p, 0), DL_OK);
    EXPECT_NE(empty.p, nullptr);
    char own[5] = {};
    char* dst = own;
    ASSERT_EQ((link.*P::both)(&in, &dst, sizeof own), DL_OK);
    EXPECT_EQ(Bytes(own, own + 5), filler(5, 9));
    EXPECT_EQ(link.get_event_number(), count0 + 5);
    EXPECT_FALSE(link.peer_closed());
  }
}

TYPED_TEST(IntroReception, RefusalsComeBeforeCountingAllocatingOrReading) {
  using P = TypeParam;
  using Intro = typename P::Intro;
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  DataLink& link = *pair->link;
  Intro shorter = intro<Intro>(kPatterns[1], 0);
  shorter.intro.length = sizeof(Intro) - 1;
  send_and_close(pair->peer, wire(shorter) + wire(intro<Intro>(kPatterns[1], 8)) + filler(8, 3));
  const int count0 = link.get_event_number();
  Intro in;
  Owned buf;
  char small[7] = {1};
  char* dst = small;
  ASSERT_EQ((link.*P::header)(&in), DL_OK);
  EXPECT_EQ((link.*P::data)(&in, &buf.p, 1000), DL_ERR_VALUE);
  ASSERT_EQ((link.*P::header)(&in), DL_OK);
  EXPECT_EQ((link.*P::data)(&in, &buf.p, 7), DL_ERR_BUFFER_SIZE);
  EXPECT_EQ((link.*P::data)(&in, &dst, 7), DL_ERR_BUFFER_SIZE);
  EXPECT_EQ((link.*P::data)(nullptr, &buf.p, 1000), DL_ERR_VALUE);
  EXPECT_EQ((link.*P::data)(&in, nullptr, 1000), DL_ERR_VALUE);
  EXPECT_EQ((link.*P::header)(nullptr), DL_ERR_VALUE);
  EXPECT_TRUE(buf.p == nullptr && dst == small && small[0] == 1);
  EXPECT_EQ(link.get_event_number(), count0);
  ASSERT_EQ((link.*P::data)(&in, &buf.p, 8), DL_OK);  // the refused data are still whole
  EXPECT_EQ(Bytes(buf.p, buf.p + 8), filler(8, 3));
  in.intro.length = 0xFFFFFFFFu;  // a size beyond any int cannot fit
  EXPECT_EQ((link.*P::data)(&in, &dst, std::numeric_limits<int>::max()), DL_ERR_BUFFER_SIZE);

  DataLink unconnected(0);
  in = intro<Intro>(0x5A5A5A5Au, 10);
  const Intro before = in;
  Capture err(2);
  EXPECT_EQ((unconnected.*P::both)(&in, &dst, 100), DL_ERR_NOT_CONNECTED);
  EXPECT_EQ(err.text(), "ReceiveImage():: Not connected.  No action taken.\n");
  EXPECT_TRUE(same(in, before));
  Owned fresh;  // the data step alone fails in its wait, after counting and allocating
  EXPECT_EQ((unconnected.*P::data)(&in, &fresh.p, 100), DL_ERR_READ);
  EXPECT_TRUE(fresh.p != nullptr && unconnected.get_event_number() == 1);
}

TYPED_TEST(IntroReception, PeerClosingEndsEachPhaseWithItsMessage) {
  using P = TypeParam;
  using Intro = typename P::Intro;
  const Bytes record = wire(intro<Intro>(kPatterns[2], 64)) + filler(64, 1);
  const size_t cut[] = {3, sizeof(Intro) - 1, sizeof(Intro) + 20};  // in the pattern, the intro, the data
  for (int phase = 0; phase < 3; ++phase) {
    auto pair = listener_with_raw_peer();
    ASSERT_TRUE(pair);
    DataLink& link = *pair->link;
    send_and_close(pair->peer, Bytes(record.begin(), record.begin() + long(cut[phase])));
    close_fd(pair->peer);
    Intro in;
    Owned buf;
    Capture err(2);
    EXPECT_EQ((link.*P::both)(&in, &buf.p, 1000), DL_ERR_READ);
    EXPECT_TRUE(reports(err.text(), P::kEmpty[phase])) << err.text();
    EXPECT_TRUE(link.peer_closed());
    EXPECT_EQ(buf.p != nullptr, phase == 2);  // data cut short: allocated and counted
    EXPECT_EQ(link.get_event_number(), phase == 2 ? 1 : 0);
  }
}

TYPED_TEST(IntroReception, EagainRulesOfEachPhase) {
  using P = TypeParam;
  using Intro = typename P::Intro;
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  DataLink& link = *pair->link;
  const Bytes record = wire(intro<Intro>(kPatterns[0], 16)) + filler(16, 2);
  send_and_close(pair->peer, record + record);
  Intro in;
  Owned buf;
  Capture err(2);
  g_step_reads = true;
  // In the search any failed read is fatal; it took no byte.
  g_fail = 1;
  EXPECT_EQ((link.*P::header)(&in), DL_ERR_READ);
  // One phase counts EAGAIN as an empty read, the other retries it: 999
  // pass in both, 1500 only where it is retried. The intro's EAGAINs come
  // behind the four one-byte reads of the pattern.
  const int counted = 999, retried = 1500;
  g_pass = 4;
  g_fail = P::kIntroEagainCounts ? counted : retried;
  ASSERT_EQ((link.*P::header)(&in), DL_OK);
  g_fail = P::kIntroEagainCounts ? retried : counted;
  ASSERT_EQ((link.*P::data)(&in, &buf.p, 16), DL_OK);
  EXPECT_EQ(Bytes(buf.p, buf.p + 16), filler(16, 2));
  EXPECT_EQ(g_fail.load(), 0);
  if (P::kIntroEagainCounts) {
    g_pass = 4;
    g_fail = counted + 1;
    EXPECT_EQ((link.*P::header)(&in), DL_ERR_READ);
  } else {
    ASSERT_EQ((link.*P::header)(&in), DL_OK);
    g_fail = counted + 1;
    EXPECT_EQ((link.*P::data)(&in, &buf.p, 16), DL_ERR_READ);
  }
  const std::string text = err.text();
  EXPECT_TRUE(reports(text, P::kPatternFailed)) << text;
  EXPECT_TRUE(reports(text, P::kEmpty[P::kIntroEagainCounts ? 1 : 2])) << text;
}

// An image search moves past the pattern bytes an event receive kept; the
// next event receive starts from a fresh window of zero bytes, not from
// those stale bytes.
TEST(IntroAfterEventScan, KeptPatternBytesDoNotComeBack) {
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  const auto in = intro<vrq5_image_ext_intro>(kPatterns[0], 0);
  send_and_close(pair->peer, Bytes(200001, 0) + Bytes{0xDD, 0xFF, 0xEE, 0xFF} + wire(in));
  EXPECT_EQ(pair->link->ReceiveEvent(nullptr, 1, 2, 0), DL_ERR_TIMEOUT) << "the pattern is one byte too far";
  vrq5_image_ext_intro got;
  EXPECT_EQ(pair->link->ReceiveImageHeader(&got), DL_OK);
  Capture err(2);
  EXPECT_EQ(pair->link->ReceiveEvent(nullptr, 1, 2, 0), DL_ERR_TIMEOUT) << "a closed peer leaves the window zero";
  EXPECT_EQ(err.text(), "");
}
