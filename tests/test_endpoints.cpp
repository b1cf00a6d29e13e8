// Link object, listening end and calling end: the handshake on the wire,
// the state machines' refusals, UNIX-domain paths, and peers that vanish.
#include "DataLink.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "test_support.h"

using namespace testsupport;

namespace {

bool path_exists(int port) { return access(unix_path(port).c_str(), F_OK) == 0; }

// Connects a DataLink caller to a raw listener that sends `preamble` and then
// closes; returns Connect's status and what it wrote to stderr.
std::pair<int, std::string> connect_to_raw_listener(DataLink& link, const Bytes& preamble) {
  int port = free_port();
  int listener = raw_listen(port, false);
  std::thread server([&] {
    int peer = raw_accept(listener);
    write_all(peer, preamble);
    close_fd(peer);
  });
  Capture err(2);
  int status = link.Connect("localhost", port);
  server.join();
  close(listener);
  return {status, err.text()};
}

}  // namespace

TEST(LinkObject, ConstructionAndSmallSetters) {
  std::signal(SIGPIPE, SIG_DFL);
  DataLink link(5);
  struct sigaction current {};
  sigaction(SIGPIPE, nullptr, &current);
  EXPECT_EQ(current.sa_handler, SIG_IGN) << "construction ignores SIGPIPE";

  EXPECT_EQ(link.IsLinkActive(), 0);
  EXPECT_FALSE(link.get_swap());
  EXPECT_EQ(link.GetLPort(), 0);
  EXPECT_EQ(link.SetRetry(0), DL_ERR_VALUE);
  EXPECT_EQ(link.SetRetry(-3), DL_ERR_VALUE);
  EXPECT_EQ(link.SetRetry(1), DL_OK);
  EXPECT_TRUE(link.set_swap_mask(true));
  EXPECT_FALSE(link.set_swap_mask(false));
}

TEST(ListeningEnd, PreambleOnTheWireForBothModesAndFamilies) {
  for (bool unix_domain : {false, true}) {
    SCOPED_TRACE(unix_domain ? "UNIX" : "TCP");
    auto native = listener_with_raw_peer(NATIVE_MODE, unix_domain);
    ASSERT_TRUE(native);
    EXPECT_EQ(native->preamble, host_order_bytes(0x0A0B0C0D));
    EXPECT_FALSE(native->link->get_swap());
    EXPECT_EQ(native->link->IsLinkActive(), 1);
    EXPECT_EQ(native->link->GetLPort(), native->port);

    auto bigend = listener_with_raw_peer(BIGEND_MODE, unix_domain);
    ASSERT_TRUE(bigend);
    EXPECT_EQ(bigend->preamble, host_order_bytes(0x0C0D0E0F));
    EXPECT_TRUE(bigend->link->get_swap());
    bigend->link->set_swap_mask(true);
    EXPECT_FALSE(bigend->link->get_swap());
    bigend->link->set_swap_mask(false);
    EXPECT_TRUE(bigend->link->get_swap());
  }
}

TEST(ListeningEnd, RefusalsLeaveTheStateAlone) {
  DataLink link(0);
  {
    Capture err(2);
    EXPECT_EQ(link.Connect(true), DL_ERR_NOT_SETUP);
    EXPECT_EQ(link.SocketRelease(), DL_ERR_NOT_SETUP);
    EXPECT_EQ(link.Disconnect(), DL_ERR_NOT_SETUP);
    EXPECT_EQ(err.text(),
              "Connect(): socket not setup.  No action taken.\n"
              "SocketRelease(): socket not setup. No ation taken.\n"
              "Disconnect(): Not setup.  No action taken.\n");
  }
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  Capture err(2);
  EXPECT_EQ(pair->link->SocketSetup(free_port()), DL_ERR_SETUP);
  EXPECT_EQ(pair->link->GetLPort(), pair->port) << "the first socket is kept";
  EXPECT_EQ(pair->link->Connect(true), DL_ERR_CONNECTED);
  EXPECT_EQ(pair->link->IsLinkActive(), 1);
  EXPECT_EQ(err.text(),
            "SocketSetup(): socket already setup.\n"
            "Conenct(): Alrady accepted a connection. No action taken.\n");
  // The peer is still connected: a byte written by it is not refused.
  EXPECT_TRUE(write_all(pair->peer, "x", 1));
}

TEST(ListeningEnd, ConnectFalseReplacesThePeerAndReleaseDisconnects) {
  auto pair = listener_with_raw_peer();
  ASSERT_TRUE(pair);
  int second = raw_connect(pair->port, false);
  ASSERT_GE(second, 0);
  ASSERT_EQ(pair->link->Connect(false), DL_OK);
  EXPECT_TRUE(read_exact(pair->peer, 1).empty()) << "the first peer's socket is closed";
  EXPECT_EQ(read_exact(second, 4), host_order_bytes(0x0A0B0C0D));

  Capture out(1);
  EXPECT_EQ(pair->link->SocketRelease(), DL_OK);
  EXPECT_EQ(out.text(), "SocketRelease() socket closed\n");
  EXPECT_EQ(pair->link->IsLinkActive(), 0);
  EXPECT_EQ(pair->link->GetLPort(), 0);
  EXPECT_TRUE(read_exact(second, 1).empty()) << "released listener closed the connection";
  close_fd(second);
}

TEST(ListeningEnd, UnixDomainPathLifecycle) {
  int port = free_port();
  SockTypeScope family("UNIX", port);
  DataLink link(0);
  {
    Capture out(1);
    ASSERT_EQ(link.SocketSetup(port), DL_OK);
    EXPECT_EQ(out.text(), "Here we are: UNIX  file: /tmp/" + std::to_string(port) + ".tcp\nUNIX socket will be used\n");
  }
  EXPECT_TRUE(path_exists(port));
  // A peer on the path; TCP_NODELAY is refused on a UNIX-domain socket.
  int peer = raw_connect(port, true);
  ASSERT_GE(peer, 0);
  {
    Capture err(2);
    ASSERT_EQ(link.Connect(true), DL_OK);
    EXPECT_EQ(err.text().rfind("Connect(2): TCP_NODELAY failed: ", 0), 0u);
  }
  EXPECT_EQ(read_exact(peer, 4), host_order_bytes(0x0A0B0C0D));
  close_fd(peer);
  {
    Capture out(1);
    ASSERT_EQ(link.SocketRelease(), DL_OK);
  }
  EXPECT_FALSE(path_exists(port));

  // A path left behind by a listener that was never released refuses the bind.
  DataLink stale(0), blocked(0);
  Capture out(1);
  ASSERT_EQ(stale.SocketSetup(port), DL_OK);
  std::string before = out.text();
  Capture out2(1);
  EXPECT_EQ(blocked.SocketSetup(port), DL_ERR_BIND);
  EXPECT_NE(out2.text().find("Here  bind failed, socket released PF_UNIX 98\n"), std::string::npos);
  Capture out3(1);
  EXPECT_EQ(stale.SocketRelease(), DL_OK);
  EXPECT_EQ(blocked.SocketSetup(port), DL_OK) << "after release the port can be set up again";
  EXPECT_EQ(blocked.SocketRelease(), DL_OK);
}

TEST(ListeningEnd, LowerCaseUnixMeansTcp) {
  int port = free_port();
  SockTypeScope family("unix", port);
  DataLink link(0);
  Capture out(1);
  ASSERT_EQ(link.SocketSetup(port), DL_OK);
  EXPECT_EQ(out.text(), "Here we are: unix  file: /tmp/" + std::to_string(port) + ".tcp\n");
  EXPECT_FALSE(path_exists(port));
  int peer = raw_connect(port, false);
  EXPECT_GE(peer, 0) << "a TCP client reaches the listener";
  close_fd(peer);
  Capture quiet(1);
  link.SocketRelease();
}

TEST(CallingEnd, PreambleValuesDecideTheSwap) {
  struct Case {
    Bytes preamble;
    bool swap;
  };
  const Case cases[] = {
      {host_order_bytes(0x0A0B0C0D), false},
      {swapped_order_bytes(0x0A0B0C0D), true},
      {host_order_bytes(0x0C0D0E0F), true},
      {swapped_order_bytes(0x0C0D0E0F), true},
  };
  for (const Case& c : cases) {
    for (bool unix_domain : {false, true}) {
      auto pair = caller_with_raw_peer(c.preamble, unix_domain);
      ASSERT_TRUE(pair);
      EXPECT_EQ(pair->status, DL_OK);
      EXPECT_EQ(pair->link->get_swap(), c.swap);
      EXPECT_EQ(pair->link->IsLinkActive(), 1);
    }
  }
  // no_swap masks the conversion even when the peer asks for it.
  DataLink masked(true);
  auto result = connect_to_raw_listener(masked, host_order_bytes(0x0C0D0E0F));
  EXPECT_EQ(result.first, DL_OK);
  EXPECT_FALSE(masked.get_swap());
  Capture quiet(1);
  masked.SocketRelease();
}

TEST(CallingEnd, UnknownPreambleIsRefusedWithItsValue) {
  DataLink link(0);
  auto result = connect_to_raw_listener(link, Bytes{0, 0, 0, 0});
  EXPECT_EQ(result.first, DL_ERR_VALUE);
  EXPECT_EQ(result.second, "Connect(): Unrecognized byte pattern in preamble.0\n");
  EXPECT_EQ(link.IsLinkActive(), 1) << "the handshake state keeps its socket";
  Capture err(2);
  EXPECT_EQ(link.Connect("localhost", 1), DL_ERR_CONNECTED);
  EXPECT_EQ(err.text(), "Connect(): Unable to connect.  Already connected.\n");

  DataLink negative(0);
  result = connect_to_raw_listener(negative, host_order_bytes(0xFFFFFFFE));
  EXPECT_EQ(result.second, "Connect(): Unrecognized byte pattern in preamble.-2\n");
}

TEST(CallingEnd, PeerClosingDuringThePreambleDoesNotHang) {
  DataLink link(0);
  std::pair<int, std::string> result;
  ASSERT_TRUE(finishes_within(10000, [&] { result = connect_to_raw_listener(link, Bytes{0x0D, 0x0C}); }));
  EXPECT_EQ(result.first, DL_ERR_PROTOCOL);
  EXPECT_EQ(result.second.rfind("Connect(): failed to receive preamble: ", 0), 0u);
  EXPECT_EQ(link.IsLinkActive(), 0) << "the socket is given back and the object is idle again";
  result = connect_to_raw_listener(link, host_order_bytes(0x0A0B0C0D));
  EXPECT_EQ(result.first, DL_OK) << "the object can connect again";
  Capture quiet(1);
  link.SocketRelease();
}

TEST(CallingEnd, StateMachineAcrossDisconnectAndRelease) {
  DataLink link(0);
  ASSERT_EQ(connect_to_raw_listener(link, host_order_bytes(0x0A0B0C0D)).first, DL_OK);
  {
    Capture err(2);
    EXPECT_EQ(link.Disconnect(), DL_OK);
    EXPECT_EQ(link.Disconnect(), DL_ERR_NOT_CONNECTED);
    EXPECT_EQ(link.Connect("localhost", 1), DL_ERR_SETUP);
    EXPECT_EQ(err.text(),
              "Disconnect(): There is no connection.  No action taken.\n"
              "SocketSetup(): socket already setup.\n");
  }
  {
    Capture out(1);
    EXPECT_EQ(link.SocketRelease(), DL_OK);
    EXPECT_EQ(out.text(), "") << "a calling end has no listening socket to close";
  }
  auto again = connect_to_raw_listener(link, swapped_order_bytes(0x0A0B0C0D));
  EXPECT_EQ(again.first, DL_OK);
  EXPECT_TRUE(link.get_swap());
  // A new handshake clears the swap an earlier one set.
  Capture quiet(1);
  link.SocketRelease();
  EXPECT_EQ(connect_to_raw_listener(link, host_order_bytes(0x0A0B0C0D)).first, DL_OK);
  EXPECT_FALSE(link.get_swap());
  link.SocketRelease();
}

TEST(CallingEnd, FailuresBeforeTheConnectionLeaveTheObjectIdle) {
  DataLink link(0);
  Capture err(2);
  EXPECT_EQ(link.Connect("no-such-host.invalid", 5010), DL_ERR_HOST);
  EXPECT_EQ(link.Connect(nullptr, 5010), DL_ERR_HOST) << "a missing host name is no crash";
  // Nobody listens on a port that was free a moment ago.
  EXPECT_EQ(link.Connect("localhost", free_port()), DL_ERR_CONNECT);
  int port = free_port();
  {
    SockTypeScope family("UNIX", port);
    Capture out(1);
    EXPECT_EQ(link.Connect("localhost", port), DL_ERR_CONNECT);
  }
  std::string text = err.text();
  EXPECT_EQ(text.rfind("Connect(): gethostbyname failed, socket released: ", 0), 0u);
  EXPECT_NE(text.find("Connect(2): connect failed, socket released: "), std::string::npos);
  EXPECT_NE(text.find("Connect(1): connect failed, socket released: "), std::string::npos);
  EXPECT_EQ(link.IsLinkActive(), 0);
}

TEST(EndToEnd, TwoLinksHandshakeOverBothFamilies) {
  for (bool unix_domain : {false, true}) {
    for (int mode : {NATIVE_MODE, BIGEND_MODE}) {
      auto pair = link_pair(mode, unix_domain);
      ASSERT_TRUE(pair);
      EXPECT_EQ(pair->caller->get_swap(), mode == BIGEND_MODE);
      EXPECT_EQ(pair->listener->get_swap(), mode == BIGEND_MODE);
    }
  }
}
