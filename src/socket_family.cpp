// socket_family.cpp - the socket both ends open for their chosen family.
#include "socket_family.h"

#include <cstdio>

#include "messages.h"

namespace datalink {

Descriptor open_link_socket(const LinkAddress& address) {
  Descriptor fd(::socket(address.domain, SOCK_STREAM, address.protocol));
  if (!fd.valid()) {
    sys_error("SocketSetup(): socket creation failed");
    return fd;
  }
  if (address.unix_domain) {
    out_print("UNIX socket will be used\n");
    std::fflush(nullptr);
  }
  return fd;
}

}  // namespace datalink
