// status_name.h - the name of a status code, for the messages of the tool
// and the tests. Internal: not installed.
#ifndef DATALINK_STATUS_NAME_H
#define DATALINK_STATUS_NAME_H

#include "DataLinkCommon.h"

namespace datalink {

inline const char* status_name(int status) {
  static const char* const kNames[] = {"DL_OK",
                                       "DL_ERR_SOCKET",
                                       "DL_ERR_HOST",
                                       "DL_ERR_CONNECT",
                                       "DL_ERR_CLOSE",
                                       "DL_ERR_CONNECTED",
                                       "DL_ERR_NOT_CONNECTED",
                                       "DL_ERR_BIND",
                                       "DL_ERR_LISTEN",
                                       "DL_ERR_ACCEPT",
                                       "DL_ERR_ALLOC",
                                       "DL_ERR_SENT_LENGTH",
                                       "DL_ERR_SIZE",
                                       "DL_ERR_WRITE",
                                       "DL_ERR_SETUP",
                                       "DL_ERR_NOT_SETUP",
                                       "DL_ERR_READ",
                                       "(unused 17)",
                                       "DL_ERR_PROTOCOL",
                                       "DL_ERR_VALUE",
                                       "DL_ERR_RING_WRITE",
                                       "DL_ERR_RECEIVE_LOCK",
                                       "DL_ERR_TIMEOUT",
                                       "DL_ERR_RETRIES",
                                       "DL_ERR_NO_BUFFER",
                                       "DL_ERR_BUFFER_SIZE",
                                       "DL_ERR_NOT_READABLE",
                                       "DL_ERR_NOT_WRITABLE",
                                       "DL_ERR_WOULD_BLOCK",
                                       "DL_ERR_CONVERT",
                                       "DL_ERR_SCAN_WOULD_BLOCK"};
  static_assert(sizeof kNames / sizeof kNames[0] == DL_ERR_SCAN_WOULD_BLOCK + 1,
                "one name for every status code, the last one included");
  if (status < 0 || status >= static_cast<int>(sizeof kNames / sizeof kNames[0])) return "(unknown status)";
  return kNames[status];
}

}  // namespace datalink

#endif  // DATALINK_STATUS_NAME_H
