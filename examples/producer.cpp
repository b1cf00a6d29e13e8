// producer.cpp - the shortest correct producer: connect to a collector and
// send events, each acknowledged, retrying a unit the collector had no room
// for.  Usage: producer [host] [port]
#include <DataLink.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  const char* host = argc > 1 ? argv[1] : "localhost";
  int port = argc > 2 ? std::atoi(argv[2]) : 5010;

  DataLink link(NATIVE_MODE);
  if (link.Connect(host, port) != DL_OK) return 1;  // the library has said why

  std::vector<char> body(4096, 'x');
  for (unsigned int n = 0; n < 100; ++n) {
    vrq5_eventheader header;
    std::memset(&header, 0, sizeof header);
    header.pattern = VRQ5_PATTERN_EVENT_2010;
    header.event_length = static_cast<uint32_t>(sizeof header + body.size());  // header included
    header.event_number = n;
    header.event_type = VRQ5_EV_NORMAL;

    int rc;
    do {
      // Element 0 is the header; SendEvent may advance the elements after a
      // partial write, so the list is rebuilt for every attempt.
      struct iovec units[2] = {{&header, sizeof header}, {body.data(), body.size()}};
      rc = link.SendEvent(units, 2, SendEvent_ACK);
      if (rc == DL_ERR_BUFFER_SIZE) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (rc == DL_ERR_BUFFER_SIZE);  // the collector's ring buffer was full
    if (rc != DL_OK) {
      std::fprintf(stderr, "event %u: status %d\n", n, rc);
      return 1;
    }
  }
  link.Disconnect();
  link.SocketRelease();
  return 0;
}
