// listen_endpoint.cpp - the listening end: the listening socket, accepting a
// peer and announcing this end's byte order in the preamble, and release.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "DataLink.h"
#include "link_core.h"
#include "messages.h"
#include "patterns.h"
#include "socket_family.h"
#include "sys.h"

using namespace datalink;

namespace {
constexpr int kListenBacklog = 5;
}  // namespace

int DataLink::SocketSetup(int port) {
  if (setup) {
    err_line("SocketSetup(): socket already setup.");
    return DL_ERR_SETUP;
  }
  std::memset(&receiver, 0, sizeof receiver);
  receiver.sin_family = AF_INET;
  receiver.sin_addr.s_addr = htonl(INADDR_ANY);
  receiver.sin_port = htons(static_cast<uint16_t>(port));
  UnixPath tcp_file(port);

  const char* sock_type = std::getenv(kSockTypeVariable);
  if (sock_type != nullptr) out_print("Here we are: %s  file: %s\n", sock_type, tcp_file.text);

  const LinkAddress address = unix_domain_selected() ? unix_link_address(port) : tcp_link_address(receiver);
  sock = -1;
  Descriptor fd = open_link_socket(address);
  if (!fd.valid()) return DL_ERR_SOCKET;
  if (bind(fd.get(), address.get(), address.length) != 0) {
    if (address.unix_domain)
      out_print("Here  bind failed, socket released PF_UNIX %d\n", errno);
    else
      out_print("Here  bind failed, socket released PF_INET %d\n", errno);
    return DL_ERR_BIND;
  }
  if (listen(fd.get(), kListenBacklog) != 0) {
    sys_error("SocketSetup(): listen failed, socket released");
    return DL_ERR_LISTEN;
  }
  sock = fd.release();
  lport = port;
  setup = 1;
  return DL_OK;
}

int DataLink::Connect(bool how) {
  if (!setup) {
    err_line("Connect(): socket not setup.  No action taken.");
    return DL_ERR_NOT_SETUP;
  }
  if (how && connected) {
    err_line("Conenct(): Alrady accepted a connection. No action taken.");
    return DL_ERR_CONNECTED;
  }
  if (!how) {
    if (sockin >= 0) close(sockin);
    sockin = -1;
    connected = 0;
  }
  // The listening socket is blocking: this waits until a peer connects.
  sockin = accept(sock, reinterpret_cast<sockaddr*>(&sender), &len);
  if (sockin < 0) {
    sockin = -1;
    sys_error("Connect(): accept failed");
    return DL_ERR_ACCEPT;
  }
  int one = 1;
  if (setsockopt(sockin, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) sys_error("Connect(2): TCP_NODELAY failed");
  LinkCore::ApplySocketBuffer(*this, sockin);
  connected = 1;
  LinkCore::ResetConnectionState(*this);

  unsigned int preamble = patterns::kPreambleNative;
  if (bigend_mode == BIGEND_MODE) {
    preamble = patterns::kPreambleBigEnd;
    must_swap = 1;
  }
  // The preamble goes out in this host's own order, while the socket is
  // still blocking.
  const char* bytes = reinterpret_cast<const char*>(&preamble);
  size_t pre_len = 0;
  while (pre_len < patterns::kPreambleBytes) {
    sys::IoResult sent = sys::send_some(sockin, bytes + pre_len, patterns::kPreambleBytes - pre_len);
    if (sent.failed()) {
      sys_error("Connect(): send failed");
      return DL_ERR_PROTOCOL;
    }
    pre_len += static_cast<size_t>(sent.n);
  }
  if (no_delay && fcntl(sockin, F_SETFL, O_NONBLOCK) != 0) out_line("Failed to set sock in NON_BLOCKING mode");
  return DL_OK;
}

int DataLink::SocketRelease() {
  if (!setup) {
    err_line("SocketRelease(): socket not setup. No ation taken.");
    return DL_ERR_NOT_SETUP;
  }
  if (connected) Disconnect();
  if (sock >= 0) {
    if (close(sock) != 0) {
      sys_error("Socketrelease(): unable to close socket");
      return DL_ERR_CLOSE;
    }
    out_print("SocketRelease() socket closed\n");
    sock = -1;
  }
  // The family at release time decides whether there is a path to remove.
  UnixPath tcp_file(lport);
  if (unix_domain_selected()) {
    unlink(tcp_file.text);
    std::remove(tcp_file.text);
  }
  setup = 0;
  lport = 0;
  return DL_OK;
}
