// DataLink.h - one end of a point-to-point event stream link over TCP/IPv4 or
// a UNIX-domain stream socket.
//
// A listening end calls SocketSetup(port) and Connect(true); a calling end
// calls Connect(host, port). The listener announces its byte order in a
// 4-byte preamble, and from then on both ends hold one connected socket over
// which a producer sends units (SendEvent) and a collector receives them
// (ReceiveEvent, ReceiveImage, ReceiveSpect). Every operation returns a status
// code of DataLinkCommon.h: 0 on success, a positive code otherwise.
//
// The environment variable VRQ5_DATA_LINK_SOCK_TYPE set to exactly "UNIX"
// selects UNIX-domain sockets on the path "/tmp/<port>.tcp".
//
// An object is used by one thread at a time. The library starts no threads
// and throws nothing of its own; only a failed allocation escapes as
// std::bad_alloc. Constructing an object sets the process-wide disposition of
// SIGPIPE to "ignore".
#ifndef DATALINK_H
#define DATALINK_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>

#include "DataLinkCommon.h"
#include "RingBuffer.h"
#include "VRQ5evutl.h"

#if defined(DATALINK_BUILDING)
#define DATALINK_API __attribute__((visibility("default")))
#else
#define DATALINK_API
#endif

enum { RECEIVER_READ = 0, RECEIVER_WRITE = 1 };  // op of DataLink::IfReady
enum { NATIVE_MODE = 0, BIGEND_MODE = 1 };       // byte order a listener announces

class DATALINK_API DataLink {
 public:
  /// The same constants in the class, so both spellings work:
  /// DataLink(DataLink::BIGEND_MODE) and IfReady(DataLink::RECEIVER_READ, ...).
  static constexpr int RECEIVER_READ = ::RECEIVER_READ;
  static constexpr int RECEIVER_WRITE = ::RECEIVER_WRITE;
  static constexpr int NATIVE_MODE = ::NATIVE_MODE;
  static constexpr int BIGEND_MODE = ::BIGEND_MODE;

  /// Listening-end flavour: a non-zero md announces the big-endian preamble.
  DataLink(int md);
  /// ns becomes the swap mask: true means records are never converted.
  DataLink(bool ns);
  /// Releases the block buffer and the private state; closes no socket.
  ~DataLink();
  DataLink(const DataLink&) = delete;
  DataLink& operator=(const DataLink&) = delete;

  /// Sets the retry budget; 19 for r <= 0 (the budget is kept).
  int SetRetry(int r);
  /// Opt-in socket buffer size: bytes > 0 sets SO_SNDBUF and SO_RCVBUF to
  /// bytes on the connection held now and on every connection this object
  /// accepts or makes afterwards (the kernel doubles the value and caps it at
  /// net.core.wmem_max / rmem_max). Large units over a UNIX-domain socket gain
  /// most. 0, the default, leaves the system's sizes to later connections.
  /// Returns 0, 19 for a negative value (nothing changed), or 1 when the
  /// current connection refused the size (kept for later connections).
  int set_socket_buffer(int bytes);
  /// 1 while a connection is held, else 0.
  int IsLinkActive();
  /// Whether records on this connection are converted (must swap, not masked).
  bool get_swap();
  /// Sets the swap mask and returns it.
  bool set_swap_mask(bool m);
  void set_own_cnt(bool c) { owncntr = c; }
  void SetNoDelay() { no_delay = true; }
  void SetDelay() { no_delay = false; }
  int GetLPort() { return lport; }

  // ---- Listening end ----
  /// Makes, binds and listens on the socket for port: 0, 1, 7, 8 or 14.
  int SocketSetup(int port);
  /// Blocks in accept and sends the preamble. how true: only when no
  /// connection is held; false: drops the held one first. 0, 5, 9, 15 or 18.
  int Connect(bool how);
  /// Ends the connection, closes the listening socket, removes the
  /// UNIX-domain path: 0, 4 or 15.
  int SocketRelease();

  // ---- Calling end ----
  /// Connects, reads the preamble and decides whether to swap:
  /// 0, 1, 2, 3, 5, 14, 18 or 19. Blocks in the lookup, connect and preamble.
  int Connect(const char* host, int port);
  /// Closes the connection socket: 0, 4, 6 or 15.
  int Disconnect();

  // ---- Waits and requests ----
  /// Waits until the connection is readable (op 0) or writable (op 1).
  /// trs < 0 means the object's retry budget, 0 gives up at once; sec or usec
  /// -1 waits without limit per pass. 0 ready, 22 time-outs used up the
  /// budget, 26 + op budget used up otherwise, 16 (read) / 13 (write) on a
  /// failed wait or without a connection.
  int IfReady(bool op, int trs, int sec, int usec);
  /// Writes sz raw bytes to the peer: 0, 6, 13, 21, 19 for a negative sz, or
  /// 23 when the budget of 100 ms waits ran out before all bytes went out.
  int SendRequest(const char* buf, int sz);

  // ---- Sending ----
  /// Sends one unit (event, slow data or image) from a scatter list whose
  /// element 0 is the header; its size picks the kind (36, 48, 12, 8, 100).
  /// mode SendEvent_ACK waits for the receiver's acknowledgement before the
  /// body. The caller's iovec elements may be advanced after a partial write.
  /// 0 when the header's length in bytes went out; else 6, 10, 11, 13, 16, 18,
  /// 19, 23, 25, 28 or 29.
  int SendEvent(struct iovec* vec, int frsin, int mode);

  // ---- Receiving events and slow data ----
  /// Receives the next block into the object's block buffer, in host order.
  /// rb (may be null) is used for the free-space check that decides the
  /// acknowledgement; the block is not written into it. trs, sec and usec
  /// bound the first wait. 0, 6, 10, 13, 16, 19, 21, 22, 25, 29 or 30.
  int ReceiveEvent(RNG_RingBuffer* rb, int trs, int sec, int usec);
  /// Copies the last block into rb: 0, 20 (rb took less) or 24 (no block).
  int WriteBlockToRingBuffer(RNG_RingBuffer& rb);
  /// The own counter while it is on, else the header's number; -1 without a block.
  int get_event_number();
  /// The header's event type, or VRQ5_EV_EVMAX without a block.
  VRQ5_EVTYPE get_event_type();
  /// The header's length in bytes, or 0 without a block.
  unsigned int get_event_length();
  /// The block as the record its pattern names, or null. The pointer is valid
  /// until the next ReceiveEvent or the object's destruction.
  vrq5_eventheader* get_event_header();
  vrq5_eventheader_2024* get_event_header_2024();
  vrq5_daq_slow_data_header* get_slow_data_header();
  /// True once a read on the current connection met the end of the stream;
  /// cleared when the link connects anew. A collector stops or reconnects.
  bool peer_closed();

  // ---- Receiving images and spectra ----
  /// Finds the next image intro (108 bytes) and reads it, in host order.
  /// 0, 6, 16, 19 (null intro), 21, 29, or the readiness wait's status.
  int ReceiveImageHeader(vrq5_image_ext_intro* im_fr_hd);
  /// Reads the image data the intro announces into *buf (at least sz bytes),
  /// or into a buffer allocated with new[] for a null *buf, which the caller
  /// then owns. 0, 16, 19 (intro shorter than itself) or 25 (data above sz).
  int ReceiveImageData(vrq5_image_ext_intro* im_fr_hd, char** buf, int sz);
  /// ReceiveImageHeader, then ReceiveImageData.
  int ReceiveImage(vrq5_image_ext_intro* im_fr_hd, char** buf, int sz);
  /// The same three for spectra, with the 56-byte spectrum intro.
  int ReceiveSpectHeader(vrq5_spect_intro* im_fr_hd);
  int ReceiveSpectData(vrq5_spect_intro* im_fr_hd, char** buf, int sz);
  int ReceiveSpect(vrq5_spect_intro* im_fr_hd, char** buf, int sz);

 private:
  friend class LinkCore;  // the library's private implementation

  // Turns the received block into host byte order when the link swaps:
  // DL_OK, DL_ERR_NO_BUFFER or DL_ERR_CONVERT.
  int SwapBuffer();

  // Link state. The order and types are part of the library's contract.
  int retrs;
  bool no_delay;
  bool owncntr;
  int eventn;
  int sock;
  int sockin;
  struct sockaddr_in receiver;
  struct sockaddr_in sender;
  socklen_t len;
  int connected;
  int setup;
  int must_swap;
  bool no_swap;
  int receive_lock;
  char* buffer;
  size_t size;
  int lport;
  int bigend_mode;

  // Everything else the object keeps (the receive state of the current
  // connection, the socket buffer size) is private to the library.
  struct LinkState* state;
};

#endif  // DATALINK_H
