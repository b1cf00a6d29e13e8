// socket_family.h - the choice between TCP and UNIX-domain sockets and the
// UNIX-domain path of a port, shared by the listening and the calling end.
#ifndef DATALINK_SOCKET_FAMILY_H
#define DATALINK_SOCKET_FAMILY_H

#include <sys/un.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace datalink {

constexpr const char* kSockTypeVariable = "VRQ5_DATA_LINK_SOCK_TYPE";

// Exactly "UNIX" selects UNIX-domain sockets; anything else, or no value, TCP.
inline bool unix_domain_selected() {
  const char* value = std::getenv(kSockTypeVariable);
  return value != nullptr && std::strcmp(value, "UNIX") == 0;
}

// The UNIX-domain path of a port: "/tmp/<port>.tcp".
struct UnixPath {
  char text[sizeof(sockaddr_un::sun_path)];
  explicit UnixPath(int port) { std::snprintf(text, sizeof text, "/tmp/%d.tcp", port); }
};

// A zero-filled UNIX-domain address for the path of port. Both ends pass the
// whole structure's size as the address length.
inline sockaddr_un unix_address(int port) {
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, UnixPath(port).text, sizeof address.sun_path);
  return address;
}

}  // namespace datalink

#endif  // DATALINK_SOCKET_FAMILY_H
