// test_perf_options.cpp - the opt-in socket buffer size, and the block buffer
// that a run of equal units keeps instead of allocating anew.
#include "DataLink.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "test_support.h"

using namespace testsupport;

namespace {

constexpr int kAskedBytes = 1 << 20;

std::set<int> open_fds() {
  std::set<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return fds;
  // The listing's own descriptor is closed again, so its number is free.
  const int own = dirfd(dir);
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != own) fds.insert(std::atoi(entry->d_name));
  }
  closedir(dir);
  return fds;
}

bool is_connected_socket(int fd) {
  int listening = 0;
  socklen_t length = sizeof listening;
  if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0) return false;
  return listening == 0;
}

// The connected sockets that appeared since `before`, apart from `known`.
std::vector<int> new_connected_sockets(const std::set<int>& before, const std::set<int>& known) {
  std::vector<int> found;
  for (int fd : open_fds())
    if (!before.count(fd) && !known.count(fd) && is_connected_socket(fd)) found.push_back(fd);
  return found;
}

int buffer_size(int fd, int option) {
  int bytes = 0;
  socklen_t length = sizeof bytes;
  getsockopt(fd, SOL_SOCKET, option, &bytes, &length);
  return bytes;
}

// The kernel doubles what it is asked for; the system default is far below.
void expect_enlarged(int fd) {
  EXPECT_GE(buffer_size(fd, SO_SNDBUF), kAskedBytes);
  EXPECT_GE(buffer_size(fd, SO_RCVBUF), kAskedBytes);
}

class SocketBuffer : public ::testing::TestWithParam<bool> {};

TEST_P(SocketBuffer, SizesReachEveryConnectionOfBothEnds) {
  const bool unix_domain = GetParam();
  DataLink refused(0);
  EXPECT_EQ(refused.set_socket_buffer(-1), DL_ERR_VALUE);
  EXPECT_EQ(refused.set_socket_buffer(0), DL_OK);

  // Asked before connecting: the listener's accepted socket and the caller's
  // socket both get the size.
  const int port = free_port();
  DataLink listener(0);
  DataLink caller(0);
  ASSERT_EQ(listener.set_socket_buffer(kAskedBytes), DL_OK);
  ASSERT_EQ(caller.set_socket_buffer(kAskedBytes), DL_OK);
  int setup_status = -1;
  int listener_status = -1;
  int caller_status = -1;
  std::vector<int> ends;
  {
    Quiet quiet;
    SockTypeScope family(unix_domain ? "UNIX" : nullptr, -1);
    setup_status = listener.SocketSetup(port);
    const std::set<int> before = open_fds();
    if (setup_status == DL_OK) {
      std::thread calling([&] { caller_status = caller.Connect("localhost", port); });
      listener_status = listener.Connect(true);
      calling.join();
      ends = new_connected_sockets(before, {});
    }
  }
  ASSERT_EQ(setup_status, DL_OK);
  ASSERT_EQ(listener_status, DL_OK);
  ASSERT_EQ(caller_status, DL_OK);
  ASSERT_EQ(ends.size(), 2u);
  for (int fd : ends) expect_enlarged(fd);
  {
    Capture quiet_out(1);
    SockTypeScope family(unix_domain ? "UNIX" : nullptr, -1);
    caller.Disconnect();
    listener.SocketRelease();
  }

  // Asked while connected: the connection held now changes at once.
  auto before = open_fds();
  auto pair = link_pair(NATIVE_MODE, unix_domain);
  ASSERT_NE(pair, nullptr);
  ends = new_connected_sockets(before, {});
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(pair->listener->set_socket_buffer(kAskedBytes), DL_OK);
  EXPECT_EQ(pair->caller->set_socket_buffer(kAskedBytes), DL_OK);
  for (int fd : ends) expect_enlarged(fd);
  // A refused value changes nothing on the held connection.
  EXPECT_EQ(pair->caller->set_socket_buffer(-5), DL_ERR_VALUE);
  for (int fd : ends) expect_enlarged(fd);
}

INSTANTIATE_TEST_SUITE_P(Families, SocketBuffer, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param_info) {
                           return param_info.param ? "Unix" : "Tcp";
                         });

// A 36-byte event header announcing length bytes, and a body of fill bytes.
struct EventUnit {
  vrq5_eventheader header{};
  std::vector<char> body;
  EventUnit(uint32_t length, char fill) : body(length - sizeof(vrq5_eventheader), fill) {
    header.pattern = VRQ5_PATTERN_EVENT_2010;
    header.event_length = length;
  }
};

// Units of equal length share one block buffer; a unit of another length
// gets one of its own size, and every block arrives whole.
TEST(BlockBuffer, EqualUnitsReuseItAndOtherLengthsResizeIt) {
  auto pair = link_pair();
  ASSERT_NE(pair, nullptr);
  const std::vector<std::pair<uint32_t, char>> units = {{4000, 'a'}, {4000, 'b'}, {200, 'c'}, {4000, 'd'}};
  ASSERT_TRUE(finishes_within(10000, [&] {
    const char* first_block = nullptr;
    for (size_t i = 0; i < units.size(); ++i) {
      EventUnit unit(units[i].first, units[i].second);
      struct iovec vec[2] = {{&unit.header, sizeof unit.header}, {unit.body.data(), unit.body.size()}};
      ASSERT_EQ(pair->caller->SendEvent(vec, 2, SendEvent_NOACK), DL_OK);
      ASSERT_EQ(pair->listener->ReceiveEvent(nullptr, -1, -1, -1), DL_OK);
      vrq5_eventheader* head = pair->listener->get_event_header();
      ASSERT_NE(head, nullptr);
      EXPECT_EQ(head->event_length, units[i].first);
      const char* block = reinterpret_cast<const char*>(head);
      EXPECT_EQ(std::vector<char>(block + sizeof(vrq5_eventheader), block + units[i].first), unit.body);
      if (i == 0) first_block = block;
      if (i == 1) {
        EXPECT_EQ(block, first_block);
      }
    }
  }));
}

// The converting sender turns word-aligned elements while it copies them and
// copies odd-sized ones first; the peer must see the same bytes either way,
// for the 2010 and the 2024 event layouts.
TEST(ConvertingSender, OnePassAndTwoPassGiveTheSameWireBytes) {
  auto pair = caller_with_raw_peer(swapped_order_bytes(0x0A0B0C0Du));
  ASSERT_NE(pair, nullptr);
  ASSERT_EQ(pair->status, DL_OK);
  ASSERT_TRUE(pair->link->get_swap());
  set_timeouts(pair->peer, 5000);
  std::vector<char> body(1003);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + 1);
  const std::vector<std::vector<size_t>> splits = {{1003}, {500, 503}, {3, 1000}, {501, 0, 502}};
  for (size_t header_size : {sizeof(vrq5_eventheader), sizeof(vrq5_eventheader_2024)}) {
    std::vector<char> unit(header_size + body.size());
    if (header_size == sizeof(vrq5_eventheader)) {
      vrq5_eventheader head{};
      head.pattern = VRQ5_PATTERN_EVENT_2010;
      head.event_length = static_cast<uint32_t>(unit.size());
      std::memcpy(unit.data(), &head, sizeof head);
    } else {
      vrq5_eventheader_2024 head{};
      head.pattern = VRQ5_PATTERN_EVENT_2024;
      head.event_length = static_cast<int64_t>(unit.size());
      head.event_number = 0x0102030405060708LL;
      std::memcpy(unit.data(), &head, sizeof head);
    }
    std::memcpy(unit.data() + header_size, body.data(), body.size());
    std::vector<char> expected(unit.size());
    ASSERT_EQ(vrq5_convert_event_sized(unit.data(), expected.data(), header_size, unit.size()), 0);
    for (const std::vector<size_t>& split : splits) {
      std::vector<struct iovec> vec{{unit.data(), header_size}};
      size_t offset = header_size;
      for (size_t length : split) {
        vec.push_back({unit.data() + offset, length});
        offset += length;
      }
      ASSERT_EQ(pair->link->SendEvent(vec.data(), static_cast<int>(vec.size()), SendEvent_NOACK), DL_OK);
      Bytes wire = read_exact(pair->peer, unit.size());
      EXPECT_EQ(std::vector<char>(wire.begin(), wire.end()), expected) << header_size << " " << split.size();
    }
  }
}

}  // namespace
