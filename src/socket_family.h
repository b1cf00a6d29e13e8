// socket_family.h - the choice between TCP and UNIX-domain sockets, the
// UNIX-domain path of a port, the address of one end for the chosen family,
// and the descriptor owner the set-up ladders of both ends use. The path and
// the variable name are spelled here once; tests and the tool use them too.
#ifndef DATALINK_SOCKET_FAMILY_H
#define DATALINK_SOCKET_FAMILY_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace datalink {

constexpr const char* kSockTypeVariable = "VRQ5_DATA_LINK_SOCK_TYPE";
constexpr const char* kSockTypeUnix = "UNIX";

// Exactly "UNIX" selects UNIX-domain sockets; anything else, or no value, TCP.
inline bool unix_domain_selected() {
  const char* value = std::getenv(kSockTypeVariable);
  return value != nullptr && std::strcmp(value, kSockTypeUnix) == 0;
}

// The UNIX-domain path of a port: "/tmp/<port>.tcp".
struct UnixPath {
  char text[sizeof(sockaddr_un::sun_path)];
  explicit UnixPath(int port) { std::snprintf(text, sizeof text, "/tmp/%d.tcp", port); }
};

// Where one end binds or connects: the socket's domain and protocol and the
// address with its length. A UNIX-domain address is zero-filled, and both
// ends pass the whole structure's size as its length.
struct LinkAddress {
  bool unix_domain;
  int domain;
  int protocol;
  sockaddr_storage storage;
  socklen_t length;
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

inline LinkAddress unix_link_address(int port) {
  LinkAddress address{true, AF_UNIX, 0, {}, sizeof(sockaddr_un)};
  sockaddr_un un;
  std::memset(&un, 0, sizeof un);
  un.sun_family = AF_UNIX;
  std::memcpy(un.sun_path, UnixPath(port).text, sizeof un.sun_path);
  std::memcpy(&address.storage, &un, sizeof un);
  return address;
}

inline LinkAddress tcp_link_address(const sockaddr_in& in) {
  LinkAddress address{false, AF_INET, IPPROTO_TCP, {}, sizeof(sockaddr_in)};
  std::memcpy(&address.storage, &in, sizeof in);
  return address;
}

// Owns one descriptor within a set-up ladder: every early return closes what
// was opened, and release() hands the descriptor over once the ladder is done.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&&) = delete;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// The first rung of both ends' set-up ladder: a socket for the address's
// family. On failure the error is printed and the owner holds nothing.
Descriptor open_link_socket(const LinkAddress& address);

}  // namespace datalink

#endif  // DATALINK_SOCKET_FAMILY_H
