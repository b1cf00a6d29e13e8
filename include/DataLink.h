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

  /// Sets the retry budget; DL_ERR_VALUE for r <= 0 (the budget is kept).
  int SetRetry(int r);
  /// Opt-in socket buffer size: bytes > 0 sets SO_SNDBUF and SO_RCVBUF to
  /// bytes on the connection held now and on every connection this object
  /// accepts or makes afterwards (the kernel doubles the value and caps it at
  /// net.core.wmem_max / rmem_max). Large units over a UNIX-domain socket gain
  /// most. 0, the default, leaves the system's sizes to later connections.
  /// Returns DL_OK, DL_ERR_VALUE for a negative value (nothing changed), or
  /// DL_ERR_SOCKET when the current connection refused the size (kept for
  /// later connections).
  int set_socket_buffer(int bytes);
  /// 1 while a connection is held, else 0.
  int IsLinkActive();
  /// Whether records on this connection are converted (must swap, not masked).
  bool get_swap();
  /// Sets the swap mask and returns it.
  bool set_swap_mask(bool m);
  void set_own_cnt(bool c) { owncntr = c; }
  /// Guarded sending, the default: every transfer of SendEvent waits (100 ms
  /// at a time, within the retry budget) until the socket is ready, and a
  /// listener switches each connection it accepts to non-blocking mode.
  void SetNoDelay() { no_delay = true; }
  /// Plain sending: SendEvent's transfers run straight on the socket, which
  /// a listener then leaves blocking; an EAGAIN still leads to a guarded wait.
  void SetDelay() { no_delay = false; }
  int GetLPort() { return lport; }

  // ---- Listening end ----
  /// Makes, binds and listens on the socket for port: DL_OK, DL_ERR_SOCKET,
  /// DL_ERR_BIND, DL_ERR_LISTEN or DL_ERR_SETUP.
  int SocketSetup(int port);
  /// Blocks in accept and sends the preamble. how true: only when no
  /// connection is held; false: drops the held one first. DL_OK,
  /// DL_ERR_CONNECTED, DL_ERR_ACCEPT, DL_ERR_NOT_SETUP or DL_ERR_PROTOCOL.
  int Connect(bool how);
  /// Ends the connection, closes the listening socket, removes the
  /// UNIX-domain path: DL_OK, DL_ERR_CLOSE or DL_ERR_NOT_SETUP.
  int SocketRelease();

  // ---- Calling end ----
  /// Connects, reads the preamble and decides whether to swap:
  /// DL_OK, DL_ERR_SOCKET, DL_ERR_HOST, DL_ERR_CONNECT, DL_ERR_CONNECTED,
  /// DL_ERR_SETUP, DL_ERR_PROTOCOL or DL_ERR_VALUE. Blocks in the lookup,
  /// connect and preamble.
  int Connect(const char* host, int port);
  /// Closes the connection socket: DL_OK, DL_ERR_CLOSE, DL_ERR_NOT_CONNECTED
  /// or DL_ERR_NOT_SETUP.
  int Disconnect();

  // ---- Waits and requests ----
  /// Waits until the connection is readable (op 0) or writable (op 1). The
  /// receivers read ahead of the unit they take: while bytes read ahead are
  /// held, op 0 returns DL_OK at once.
  /// trs < 0 means the object's retry budget, 0 gives up at once; sec or usec
  /// -1 waits without limit per pass. DL_OK ready, DL_ERR_TIMEOUT time-outs
  /// used up the budget, DL_ERR_NOT_READABLE / DL_ERR_NOT_WRITABLE budget used
  /// up otherwise, DL_ERR_READ / DL_ERR_WRITE on a failed wait or without a
  /// connection.
  int IfReady(bool op, int trs, int sec, int usec);
  /// Writes sz raw bytes to the peer: DL_OK, DL_ERR_NOT_CONNECTED,
  /// DL_ERR_WRITE, DL_ERR_RECEIVE_LOCK, DL_ERR_VALUE for a negative sz, or
  /// DL_ERR_RETRIES when the budget of 100 ms waits ran out before all bytes
  /// went out.
  int SendRequest(const char* buf, int sz);

  // ---- Sending ----
  /// Sends one unit (event, slow data or image) from a scatter list whose
  /// element 0 is the header; its size picks the kind (36, 48, 12, 8, 100).
  /// mode SendEvent_ACK waits for the receiver's acknowledgement before the
  /// body. The caller's iovec elements may be advanced after a partial write.
  /// DL_OK when the header's length in bytes went out; else
  /// DL_ERR_NOT_CONNECTED, DL_ERR_ALLOC, DL_ERR_SENT_LENGTH, DL_ERR_WRITE,
  /// DL_ERR_READ, DL_ERR_PROTOCOL, DL_ERR_VALUE, DL_ERR_RETRIES,
  /// DL_ERR_BUFFER_SIZE, DL_ERR_WOULD_BLOCK or DL_ERR_CONVERT.
  int SendEvent(struct iovec* vec, int frsin, int mode);
  /// Sends several units from one scatter list holding them back to back:
  /// each begins with its header element (its size names the kind, as for
  /// SendEvent), and its length field says how many bytes of the elements
  /// after it belong to the unit. The wire bytes are those of SendEvent called
  /// unit by unit. Without acknowledgement the units of a native link go out
  /// in as few writev calls as possible; acknowledged units (each waits for
  /// its answer) and converting links go unit by unit. A unit is refused
  /// before its first byte: elements that do not add up to its length
  /// (DL_ERR_VALUE), an unknown header size (DL_ERR_PROTOCOL), and every
  /// refusal of SendEvent; the units before it go out. units_sent (may be
  /// null) receives the number of whole units that went out. Returns DL_OK
  /// when all went out, else the status of the first unit that failed, with
  /// SendEvent's codes (DL_ERR_NOT_CONNECTED, DL_ERR_VALUE, DL_ERR_PROTOCOL,
  /// DL_ERR_WRITE, DL_ERR_RETRIES, ...). The elements may be advanced after a
  /// partial write.
  int SendEvents(struct iovec* vec, int frsin, int mode, int* units_sent);

  // ---- Receiving events and slow data ----
  /// Receives the next block into the object's block buffer, in host order.
  /// rb (may be null) is used for the free-space check that decides the
  /// acknowledgement; the block is not written into it. trs, sec and usec
  /// bound the first wait. DL_OK, DL_ERR_NOT_CONNECTED, DL_ERR_ALLOC,
  /// DL_ERR_WRITE, DL_ERR_READ, DL_ERR_VALUE, DL_ERR_RECEIVE_LOCK,
  /// DL_ERR_TIMEOUT, DL_ERR_BUFFER_SIZE, DL_ERR_CONVERT or
  /// DL_ERR_SCAN_WOULD_BLOCK.
  int ReceiveEvent(RNG_RingBuffer* rb, int trs, int sec, int usec);
  /// Copies the last block into rb: DL_OK, DL_ERR_RING_WRITE (rb took less)
  /// or DL_ERR_NO_BUFFER (no block).
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
  /// DL_OK, DL_ERR_NOT_CONNECTED, DL_ERR_READ, DL_ERR_VALUE (null intro),
  /// DL_ERR_RECEIVE_LOCK, DL_ERR_CONVERT, or the readiness wait's status.
  int ReceiveImageHeader(vrq5_image_ext_intro* im_fr_hd);
  /// Reads the image data the intro announces into *buf (at least sz bytes),
  /// or into a buffer allocated with new[] for a null *buf, which the caller
  /// then owns. DL_OK, DL_ERR_READ, DL_ERR_VALUE (intro shorter than itself)
  /// or DL_ERR_BUFFER_SIZE (data above sz).
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
