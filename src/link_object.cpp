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

// The input buffer keeps room for a header in front of every fill, so bytes
// that go back to the stream always fit before the ones still held.
constexpr size_t kInputFront = 48;
constexpr size_t kInputBytes = 64 * 1024;
// A receive that emptied the kernel's queue and brought less than this was a
// trickle: the peer is slower than this end, and the next read would most
// likely find nothing, so it waits first. After a larger receive the peer is
// streaming and the next read is tried.
constexpr size_t kTrickleBytes = 4096;

void LinkCore::ResetConnectionState(DataLink& link) {
  std::memset(link.state->pending_pattern, 0, sizeof link.state->pending_pattern);
  link.state->pending_pattern_bytes = 0;
  link.state->peer_eof = false;
  link.state->input_begin = kInputFront;
  link.state->input_end = kInputFront;
  link.state->input_drained = false;
}

const unsigned char* LinkCore::TakeBuffered(DataLink& link, size_t n) {
  const unsigned char* bytes = link.state->input.get() + link.state->input_begin;
  link.state->input_begin += n;
  return bytes;
}

// One receive into dst and, behind it, the whole input buffer.
sys::IoResult LinkCore::Receive(DataLink& link, void* dst, size_t count, bool try_only) {
  LinkState& state = *link.state;
  if (!state.input) state.input.reset(new unsigned char[kInputFront + kInputBytes]);
  const struct iovec iov[2] = {{dst, count}, {state.input.get() + kInputFront, kInputBytes}};
  const sys::IoResult got = try_only ? sys::recvv_now(link.sockin, iov, 2) : sys::readv_some(link.sockin, iov, 2);
  if (got.failed()) {
    state.input_drained = got.would_block();
    return got;
  }
  const size_t total = static_cast<size_t>(got.n);
  state.input_drained = total < count + kInputBytes && total < kTrickleBytes;
  if (total == 0) state.peer_eof = true;
  state.input_begin = kInputFront;
  state.input_end = kInputFront + (total > count ? total - count : 0);
  if (total <= count) return got;
  return sys::IoResult{static_cast<ssize_t>(count), 0};
}

sys::IoResult LinkCore::ReadLink(DataLink& link, void* dst, size_t count) {
  if (count == 0) return sys::IoResult{0, 0};
  const size_t held = Buffered(link);
  if (held > 0) {
    const size_t n = count < held ? count : held;
    std::memcpy(dst, TakeBuffered(link, n), n);
    return sys::IoResult{static_cast<ssize_t>(n), 0};
  }
  return Receive(link, dst, count, false);
}

bool LinkCore::TryReadLink(DataLink& link, void* dst, size_t count, sys::IoResult& got) {
  if (count == 0 || Buffered(link) > 0) {
    got = ReadLink(link, dst, count);
    return true;
  }
  if (link.state->input_drained) {
    // Waiting once re-arms the try.
    link.state->input_drained = false;
    return false;
  }
  got = Receive(link, dst, count, true);
  return !got.would_block();
}

int LinkCore::ReadWhenReady(DataLink& link, void* dst, size_t count, sys::IoResult& got) {
  if (TryReadLink(link, dst, count, got)) return DL_OK;
  const int ready = link.IfReady(RECEIVER_READ, -1, -1, -1);
  if (ready == DL_OK) got = ReadLink(link, dst, count);
  return ready;
}

bool LinkCore::TryWriteLink(DataLink& link, const struct iovec* iov, int count, sys::IoResult& written) {
  written = sys::sendv_now(link.sockin, iov, count);
  return !written.would_block();
}

// Every fill leaves kInputFront bytes of room in front, and what goes back
// was taken since, so it fits in front of the bytes still held.
void LinkCore::PushBackStream(DataLink& link, const unsigned char* bytes, size_t count) {
  LinkState& state = *link.state;
  if (!state.input || count > state.input_begin) return;
  state.input_begin -= count;
  std::memmove(state.input.get() + state.input_begin, bytes, count);
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
