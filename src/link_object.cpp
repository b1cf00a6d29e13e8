// link_object.cpp - construction of a link end and the small operations on
// its state.
#include "DataLink.h"
#include "link_core.h"
#include "messages.h"
#include "sys.h"

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

using namespace datalink;

namespace {
constexpr int kDefaultRetries = 10;
}  // namespace

// Both constructors differ only in no_swap and bigend_mode. A write to a
// vanished peer must fail with EPIPE instead of ending the process, hence
// SIGPIPE is ignored at every construction.
DataLink::DataLink(int md)
    : retrs(kDefaultRetries),
      no_delay(true),
      owncntr(true),
      eventn(0),
      sock(-1),
      sockin(-1),
      len(sizeof(struct sockaddr_in)),
      connected(0),
      setup(0),
      must_swap(0),
      no_swap(false),
      receive_lock(0),
      buffer(nullptr),
      size(0),
      lport(0),
      bigend_mode(md != 0 ? BIGEND_MODE : NATIVE_MODE),
      state(new LinkState{}) {
  std::signal(SIGPIPE, SIG_IGN);
  std::memset(&receiver, 0, sizeof receiver);
  std::memset(&sender, 0, sizeof sender);
  LinkCore::ResetConnectionState(*this);
}

DataLink::DataLink(bool ns) : DataLink(0) { no_swap = ns; }

DataLink::~DataLink() {
  delete[] buffer;
  delete state;
}

int DataLink::SetRetry(int r) {
  if (r <= 0) return DL_ERR_VALUE;
  retrs = r;
  return DL_OK;
}

int DataLink::set_socket_buffer(int bytes) {
  if (bytes < 0) return DL_ERR_VALUE;
  state->socket_buffer_bytes = bytes;
  if (bytes == 0 || !connected || sockin < 0) return DL_OK;
  return LinkCore::ApplySocketBuffer(*this, sockin);
}

// A size the kernel refuses is reported and the link goes on with the
// system's sizes: a connection is worth more than its buffer.
int LinkCore::ApplySocketBuffer(DataLink& link, int fd) {
  if (link.state->socket_buffer_bytes <= 0) return DL_OK;
  const int bytes = link.state->socket_buffer_bytes;
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) {
    sys_error("set_socket_buffer(): setsockopt failed");
    return DL_ERR_SOCKET;
  }
  return DL_OK;
}

int DataLink::IsLinkActive() { return connected != 0 ? 1 : 0; }

bool DataLink::get_swap() { return must_swap != 0 && !no_swap; }

bool DataLink::set_swap_mask(bool m) {
  no_swap = m;
  return m;
}

void LinkCore::ResetConnectionState(DataLink& link) {
  std::memset(link.state->pending_pattern, 0, sizeof link.state->pending_pattern);
  link.state->pending_pattern_bytes = 0;
  link.state->peer_eof = false;
  link.state->pushed_back_begin = 0;
  link.state->pushed_back_end = 0;
}

sys::IoResult LinkCore::ReadLink(DataLink& link, void* dst, size_t count) {
  if (HasPushedBack(link) && count > 0) {
    const size_t held = static_cast<size_t>(link.state->pushed_back_end - link.state->pushed_back_begin);
    const size_t n = count < held ? count : held;
    std::memcpy(dst, link.state->pushed_back + link.state->pushed_back_begin, n);
    link.state->pushed_back_begin += static_cast<int>(n);
    return sys::IoResult{static_cast<ssize_t>(n), 0};
  }
  const sys::IoResult got = sys::read_some(link.sockin, dst, count);
  if (got.n == 0 && count > 0) link.state->peer_eof = true;
  return got;
}

// Bytes still held stay behind the new ones. Only the header read after a
// window comes back, and the window's own bytes never do, so everything held
// fits in the buffer.
void LinkCore::PushBackStream(DataLink& link, const unsigned char* bytes, size_t count) {
  const size_t held = static_cast<size_t>(link.state->pushed_back_end - link.state->pushed_back_begin);
  if (count + held > sizeof link.state->pushed_back) return;
  std::memmove(link.state->pushed_back + count, link.state->pushed_back + link.state->pushed_back_begin, held);
  std::memcpy(link.state->pushed_back, bytes, count);
  link.state->pushed_back_begin = 0;
  link.state->pushed_back_end = static_cast<int>(count + held);
}

bool DataLink::peer_closed() { return state->peer_eof; }

int datalink::receive_guard(int connected, int receive_lock, const char* not_connected_text, const char* lock_text) {
  if (!connected) {
    err_line("%s", not_connected_text);
    return DL_ERR_NOT_CONNECTED;
  }
  if (receive_lock) {
    err_line("%s", lock_text);
    return DL_ERR_RECEIVE_LOCK;
  }
  return DL_OK;
}
