// call_endpoint.cpp - the calling end: connecting, reading the listener's
// preamble to learn whether records must be converted, and disconnecting.
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "DataLink.h"
#include "link_core.h"
#include "messages.h"
#include "patterns.h"
#include "socket_family.h"
#include "sys.h"

using namespace datalink;

int DataLink::Connect(const char* host, int port) {
  if (setup) {
    err_line("SocketSetup(): socket already setup.");
    return DL_ERR_SETUP;
  }
  if (connected) {
    err_line("Connect(): Unable to connect.  Already connected.");
    return DL_ERR_CONNECTED;
  }
  // The lookup comes first, so a UNIX-domain link still needs a host name
  // that resolves. getaddrinfo hands each caller its own result, so links
  // connecting from several threads at once cannot see each other's address.
  if (host == nullptr) errno = EINVAL;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (host == nullptr || getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
    sys_error("Connect(): gethostbyname failed, socket released");
    return DL_ERR_HOST;
  }
  std::memset(&receiver, 0, sizeof receiver);
  receiver.sin_family = AF_INET;
  receiver.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  receiver.sin_port = htons(static_cast<uint16_t>(port));

  const LinkAddress address = unix_domain_selected() ? unix_link_address(port) : tcp_link_address(receiver);
  sockin = -1;
  Descriptor fd = open_link_socket(address);
  if (!fd.valid()) return DL_ERR_SOCKET;
  if (connect(fd.get(), address.get(), address.length) != 0) {
    if (address.unix_domain)
      sys_error("Connect(1): connect failed, socket released");
    else
      sys_error("Connect(2): connect failed, socket released");
    return DL_ERR_CONNECT;
  }
  sockin = fd.release();
  connected = 1;
  LinkCore::ResetConnectionState(*this);
  LinkCore::ApplySocketBuffer(*this, sockin);
  int one = 1;
  if (setsockopt(sockin, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) sys_error("Connect(2): TCP_NODELAY failed");

  // A handshake that fails leaves nothing half open: the socket is given back
  // and the object is idle again, so the caller can simply connect anew.
  auto abandon_handshake = [this](int status) {
    close(sockin);
    sockin = -1;
    connected = 0;
    return status;
  };
  unsigned int preamble = 0;
  char* bytes = reinterpret_cast<char*>(&preamble);
  size_t pre_len = 0;
  while (pre_len < patterns::kPreambleBytes) {
    sys::IoResult got = sys::recv_some(sockin, bytes + pre_len, patterns::kPreambleBytes - pre_len);
    // The listener went away before its preamble was complete.
    if (got.n == 0) errno = ECONNRESET;
    if (got.n <= 0) {
      sys_error("Connect(): failed to receive preamble");
      return abandon_handshake(DL_ERR_PROTOCOL);
    }
    pre_len += static_cast<size_t>(got.n);
  }
  int swap = patterns::swap_for_preamble(preamble);
  if (swap < 0) {
    err_line("Connect(): Unrecognized byte pattern in preamble.%d", static_cast<int>(preamble));
    return abandon_handshake(DL_ERR_VALUE);
  }
  must_swap = swap;
  setup = 1;
  return DL_OK;
}

int DataLink::Disconnect() {
  if (!setup) {
    err_line("Disconnect(): Not setup.  No action taken.");
    return DL_ERR_NOT_SETUP;
  }
  if (!connected) {
    err_line("Disconnect(): There is no connection.  No action taken.");
    return DL_ERR_NOT_CONNECTED;
  }
  // Descriptor 0 is a socket like any other (a process may start with its
  // standard input closed); only a negative value means "none".
  if (sockin < 0) {
    err_line("Disconnect(): sockin was not set .");
  } else if (close(sockin) != 0) {
    sys_error("Disconnect(): failed to close socket");
    return DL_ERR_CLOSE;
  }
  sockin = -1;
  connected = 0;
  return DL_OK;
}
