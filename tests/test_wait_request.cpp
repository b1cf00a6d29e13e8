// test_wait_request.cpp - the readiness wait and raw requests, against a raw
// peer on loopback TCP.
#include "DataLink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

using namespace testsupport;

namespace {

int count_of(const std::string& text, const std::string& line) {
  int n = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + line.size())) ++n;
  return n;
}

}  // namespace

TEST(IfReady, BudgetAndTimeOuts) {
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  DataLink& link = *pair->link;
  Capture out(1);

  // A budget of 0 gives up before any wait: a 5 s time-out would show.
  ASSERT_TRUE(finishes_within(2000, [&] {
    EXPECT_EQ(link.IfReady(RECEIVER_READ, 0, 5, 0), DL_ERR_NOT_READABLE);
    EXPECT_EQ(link.IfReady(RECEIVER_WRITE, 0, 5, 0), DL_ERR_NOT_WRITABLE);
  }));

  // A negative time-out other than -1 is refused, not taken as no limit.
  ASSERT_TRUE(finishes_within(2000, [&] { EXPECT_EQ(link.IfReady(RECEIVER_READ, 1, -2, 0), DL_ERR_READ); }));

  // Silent connection: every budget ends in time-outs.
  for (int budget : {1, 2, 3, 10}) EXPECT_EQ(link.IfReady(RECEIVER_READ, budget, 0, 1000), DL_ERR_TIMEOUT) << budget;
  EXPECT_EQ(link.IfReady(RECEIVER_WRITE, 1, 0, 1000), DL_OK);

  // One -1 means no limit per pass: with 5 µs passes a budget of 3 would be
  // spent long before the byte arrives.
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    write_all(pair->peer, "x", 1);
  });
  EXPECT_EQ(link.IfReady(RECEIVER_READ, 3, -1, 5), DL_OK);
  late.join();
  EXPECT_EQ(link.IfReady(RECEIVER_READ, -1, -1, -1), DL_OK);
  EXPECT_EQ(link.IfReady(RECEIVER_READ, 1, 0, 1000), DL_OK);
  EXPECT_EQ(out.text(), "");
}

TEST(IfReady, WithoutConnection) {
  DataLink link(0);
  Capture out(1);
  EXPECT_EQ(link.IfReady(RECEIVER_READ, 1, 0, 1000), DL_ERR_READ);
  EXPECT_EQ(link.IfReady(RECEIVER_WRITE, 1, 0, 1000), DL_ERR_WRITE);
  EXPECT_EQ(link.IfReady(RECEIVER_READ, 0, 0, 1000), DL_ERR_READ);  // before the budget
  EXPECT_EQ(out.text(), "");
}

TEST(SendRequest, WritesTheRawBytes) {
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  const char request[] = "REQ\0\x01\x02 raw";
  const int sz = sizeof request - 1;
  {
    Capture out(1);
    EXPECT_EQ(pair->link->SendRequest(request, sz), DL_OK);
    EXPECT_EQ(out.text(), "SendRequest() select() ret: 1\n");
  }
  EXPECT_EQ(read_exact(pair->peer, sz), Bytes(request, request + sz));
  {
    Capture out(1);
    EXPECT_EQ(pair->link->SendRequest(request, 0), DL_OK);
    EXPECT_EQ(out.text(), "");
  }
  EXPECT_TRUE(read_available(pair->peer, 100).empty());

  DataLink idle(0);
  Capture err(2);
  EXPECT_EQ(idle.SendRequest(request, sz), DL_ERR_NOT_CONNECTED);
  EXPECT_EQ(err.text(), "SendRequest(): Not connected.  No action taken.\n");
}

// A peer that never reads: the request fills the socket, and the call reports
// that bytes are left over instead of success.
TEST(SendRequest, FullSendBufferRunsOutOfBudget) {
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  DataLink& link = *pair->link;
  ASSERT_EQ(link.SetRetry(2), DL_OK);
  std::vector<char> big(64 << 20, 'r');
  Capture out(1);
  ASSERT_TRUE(finishes_within(20000, [&] {
    // Progress first, then retrs time-outs in a row.
    EXPECT_EQ(link.SendRequest(big.data(), static_cast<int>(big.size())), DL_ERR_RETRIES);
    // No progress at all: the first budget is 10 whatever retrs says.
    EXPECT_EQ(link.SendRequest(big.data(), 100), DL_ERR_RETRIES);
  }));
  std::string text = out.text();
  EXPECT_EQ(count_of(text, "SendRequest() select() ret: 0\n"), 2 + 10);
  EXPECT_GE(count_of(text, "SendRequest() select() ret: 1\n"), 1);
}
