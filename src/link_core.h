// link_core.h - the link's private implementation behind the installed
// DataLink.h: the per-connection state that is not one of the object's
// specified members, and the helpers the operations are composed of.
//
// DataLink befriends LinkCore and holds one LinkState through an opaque
// pointer, so the installed header shows only the public operations and the
// specified members, and this state can change without touching it. The
// helpers are static functions taking the object: they read and write its
// members as the operations themselves do.
#ifndef DATALINK_LINK_CORE_H
#define DATALINK_LINK_CORE_H

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "DataLink.h"
#include "sys.h"

// Per-connection receive state, reset whenever the link connects anew, and
// the socket buffer size asked for every connection.
struct LinkState {
  unsigned char pending_pattern[4];  // pattern bytes read before a call ended with 22 or 30
  int pending_pattern_bytes;
  bool peer_eof;
  // Read-ahead: what one receive brought beyond the bytes the step asked
  // for. Every read takes these first; bytes that go back to the stream (a
  // header behind a reversed pattern that proved to be stray bytes) go back
  // in front of them. Allocated at the first read.
  std::unique_ptr<unsigned char[]> input;
  size_t input_begin;
  size_t input_end;
  // The last receive emptied the kernel's queue and brought only a trickle:
  // the next one waits first instead of trying.
  bool input_drained;
  // The converting sender's piece buffer, allocated at its first unit.
  std::unique_ptr<char[]> send_piece;
  // Bytes asked of SO_SNDBUF and SO_RCVBUF for each connection, 0 for the
  // system's sizes.
  int socket_buffer_bytes;
  // The conversion routine's own code from the last SwapBuffer(), for
  // ReceiveEvent's failure line.
  int last_swap_code;
};

struct IntroKind;
struct IntroSpanRules;

class LinkCore {
 public:
  static void ResetConnectionState(DataLink& link);
  // Up to count bytes of the stream into dst: buffered bytes if there are
  // any, else one receive on sockin (as a read() would make it) that also
  // fills the input buffer with whatever else the kernel holds. Notes end of
  // stream in peer_eof. errno is left as the receive set it, for the system
  // error printer.
  static datalink::sys::IoResult ReadLink(DataLink& link, void* dst, size_t count);
  // The same read tried without blocking. False when it would block (got is
  // then unset): the caller makes the wait it makes before a read, then
  // ReadLink. A receive that just emptied the kernel's queue makes the next
  // try give up without a call, since the wait returns at once if more came.
  static bool TryReadLink(DataLink& link, void* dst, size_t count, datalink::sys::IoResult& got);
  // The read of the receivers that wait without limit: tried first, else
  // IfReady(RECEIVER_READ, -1, -1, -1) and ReadLink. DL_OK with got set, or
  // the wait's status.
  static int ReadWhenReady(DataLink& link, void* dst, size_t count, datalink::sys::IoResult& got);
  // The receive both make when nothing is buffered: dst and the whole input
  // buffer in one readv (recvmsg with MSG_DONTWAIT for a try).
  static datalink::sys::IoResult Receive(DataLink& link, void* dst, size_t count, bool try_only);
  // Puts count bytes (at most a header) back in front of the stream.
  static void PushBackStream(DataLink& link, const unsigned char* bytes, size_t count);
  static size_t Buffered(const DataLink& link) { return link.state->input_end - link.state->input_begin; }
  // Takes n buffered bytes (n <= Buffered()) and returns where they were.
  static const unsigned char* TakeBuffered(DataLink& link, size_t n);
  // One write of the elements tried without blocking; false when it would
  // block, and the caller makes its wait and plain write.
  static bool TryWriteLink(DataLink& link, const struct iovec* iov, int count, datalink::sys::IoResult& written);
  // Sets the socket buffer size asked for on fd.
  static int ApplySocketBuffer(DataLink& link, int fd);

  // Sending. rtr is the retry budget of one SendEvent call, spent by 100 ms
  // waits that time out and renewed on progress; sent_total counts the unit's
  // bytes on the wire. Each returns 0 or the status the call ends with.
  static int SendHeaderPhase(DataLink& link, const char* header, int hdsz, int& rtr);
  static int AwaitAcknowledgement(DataLink& link, int& rtr);
  static int WaitToWriteBody(DataLink& link, int& rtr);
  static int BodyWritePass(DataLink& link, const struct iovec* iov, int count, bool wait_first, int& rtr,
                           datalink::sys::IoResult& written);
  static int WriteEventBuffer(DataLink& link, const char* event_buf, uint32_t event_length, uint32_t& sent_total,
                              int& rtr);
  static int WriteScatterSteps(DataLink& link, struct iovec* vector, int frs, uint64_t& sent_total, int& rtr);
  // The errno policy of the sending side: EAGAIN asks for another try; EPIPE
  // takes the link down (the peer is gone); anything else is a failure.
  static bool SendRetryable(DataLink& link, int err);
  static void DropLinkIfPeerGone(DataLink& link, int err);

  // Receiving events.
  // The first wait and the bytes still missing from the 4-byte pattern
  // window; filled counts the window positions already taken.
  static int FillPatternWindow(DataLink& link, unsigned char* window, int& filled, int trs, int sec, int usec);
  // Shifts bytes through the full window until it holds a known pattern;
  // skip_current shifts at least once. shifts counts the bytes shifted in
  // across the calls of one receive, against the scan limit.
  static int ScanPatternWindow(DataLink& link, unsigned char* window, bool skip_current, long& shifts);
  // Reads exactly count bytes into dst, waiting for each read; gives up with
  // limit_message after empty_read_limit empty reads in a row.
  static int ReadMissing(DataLink& link, char* dst, size_t count, int empty_read_limit, const char* limit_message);
  // Writes the 4-byte acknowledgement; fail_message (may be null) on failure.
  static int SendAck(DataLink& link, int ack, const char* fail_message);
  static void ReleaseBlock(DataLink& link);

  // Images and spectra, one path driven by the kind's description
  // (receive_image.cpp).
  // Consumes the stream up to and including the next image or spectrum start
  // pattern: 0, 16, or the readiness wait's status.
  static int SeekIntroPattern(DataLink& link, const IntroKind& kind);
  // Reads into dst from byte from up to byte end: 0, 16, or the wait's status
  // when the rules pass it on.
  static int ReadIntroSpan(DataLink& link, char* dst, size_t from, size_t end, const IntroSpanRules& rules);
  // The guards, the search, the intro behind the pattern and its conversion.
  static int ReceiveIntro(DataLink& link, const IntroKind& kind, void* intro);
  // Checks the announced length against the intro size and sz, counts,
  // allocates for a null *buf and reads the data.
  static int ReceiveIntroData(DataLink& link, const IntroKind& kind, const void* intro, char** buf, int sz);
};

namespace datalink {

// The low 32 bits of a length: every unit length is counted in 32 bits, and
// longer elements are refused before anything is sent.
inline uint32_t low32(size_t length) { return static_cast<uint32_t>(length); }

// The two refusals every receiver (and SendRequest) starts with, in their
// fixed order: DL_ERR_NOT_CONNECTED with not_connected_text, then
// DL_ERR_RECEIVE_LOCK with lock_text, each printed as a line on standard
// error; DL_OK when neither applies.
int receive_guard(int connected, int receive_lock, const char* not_connected_text, const char* lock_text);

}  // namespace datalink

#endif  // DATALINK_LINK_CORE_H
