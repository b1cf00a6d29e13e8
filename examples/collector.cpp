// collector.cpp - the shortest correct collector: accept one producer and
// move every block it sends into a ring buffer until the producer closes.
// Usage: collector [port]
#include <DataLink.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  int port = argc > 1 ? std::atoi(argv[1]) : 5010;

  DataLink link(NATIVE_MODE);
  if (link.SocketSetup(port) != DL_OK || link.Connect(true) != DL_OK) return 1;

  RNG_RingBuffer ring(64u << 20);
  unsigned long blocks = 0;
  for (;;) {
    // Wait at most one pass of 500 ms for the next block.
    int rc = link.ReceiveEvent(&ring, 1, 0, 500000);
    if (rc == DL_OK) {
      std::printf("block %lu: type %d, %u bytes\n", ++blocks, link.get_event_type(), link.get_event_length());
      link.WriteBlockToRingBuffer(ring);
      // A recording server drains the ring on another thread; here the block
      // is simply taken out again so that the ring never fills.
      std::vector<char> block(link.get_event_length());
      ring.Read(block.data(), static_cast<unsigned int>(block.size()));
      continue;
    }
    if (link.peer_closed()) break;  // the producer is gone
    if (rc == DL_ERR_TIMEOUT || rc == DL_ERR_SCAN_WOULD_BLOCK || rc == DL_ERR_BUFFER_SIZE) continue;
    std::fprintf(stderr, "receive: status %d\n", rc);  // a bad block: the next call resynchronises
  }
  link.SocketRelease();
  return 0;
}
