// DataLinkCommon.h - constants shared by the link library and its
// applications: the export macro of the library's headers, the send modes and
// the status codes every operation returns.
#ifndef DATALINKCOMMON_H
#define DATALINKCOMMON_H

// Marks what the library exports; everything else is built hidden.
#if defined(DATALINK_BUILDING)
#define DATALINK_API __attribute__((visibility("default")))
#else
#define DATALINK_API
#endif

// Mode argument of DataLink::SendEvent. Every value other than 0 acts as
// SendEvent_ACK.
enum SendEvent_mode {
  SendEvent_NOACK = 0,  // header and body in one stream
  SendEvent_ACK = 1,    // header alone, then the body only after the receiver answers 0
};

// Status codes. 0 is success; every other code is a positive integer.
constexpr int DL_OK = 0;                     // the operation succeeded
constexpr int DL_ERR_SOCKET = 1;             // creating the socket failed
constexpr int DL_ERR_HOST = 2;               // the host name lookup failed
constexpr int DL_ERR_CONNECT = 3;            // connect failed
constexpr int DL_ERR_CLOSE = 4;              // closing a socket failed
constexpr int DL_ERR_CONNECTED = 5;          // already connected
constexpr int DL_ERR_NOT_CONNECTED = 6;      // no connection
constexpr int DL_ERR_BIND = 7;               // bind failed
constexpr int DL_ERR_LISTEN = 8;             // listen failed
constexpr int DL_ERR_ACCEPT = 9;             // accept failed
constexpr int DL_ERR_ALLOC = 10;             // a buffer could not be allocated
constexpr int DL_ERR_SENT_LENGTH = 11;       // bytes sent differ from the event length
constexpr int DL_ERR_SIZE = 12;              // bytes received differ from the reported size
constexpr int DL_ERR_WRITE = 13;             // a failure on the writing side
constexpr int DL_ERR_SETUP = 14;             // the object is already set up
constexpr int DL_ERR_NOT_SETUP = 15;         // the object is not set up
constexpr int DL_ERR_READ = 16;              // a failure on the reading side, or the peer is gone
                                             // 17 is not used
constexpr int DL_ERR_PROTOCOL = 18;          // preamble failed, or unknown header format
constexpr int DL_ERR_VALUE = 19;             // an invalid value or length
constexpr int DL_ERR_RING_WRITE = 20;        // the ring buffer took fewer bytes than the block
constexpr int DL_ERR_RECEIVE_LOCK = 21;      // the receive lock is set
constexpr int DL_ERR_TIMEOUT = 22;           // time-outs used up the budget, or no pattern found
constexpr int DL_ERR_RETRIES = 23;           // the send retries are used up
constexpr int DL_ERR_NO_BUFFER = 24;         // there is no received block
constexpr int DL_ERR_BUFFER_SIZE = 25;       // a buffer is too small (or the receiver has no room)
constexpr int DL_ERR_NOT_READABLE = 26;      // the readiness wait for reading gave up
constexpr int DL_ERR_NOT_WRITABLE = 27;      // the readiness wait for writing gave up
constexpr int DL_ERR_WOULD_BLOCK = 28;       // writing the event header would block
constexpr int DL_ERR_CONVERT = 29;           // byte-order conversion failed
constexpr int DL_ERR_SCAN_WOULD_BLOCK = 30;  // a pattern-scan read would block

#endif  // DATALINKCOMMON_H
