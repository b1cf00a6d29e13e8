// listen.cpp - "datalink listen": a collector that receives blocks into a
// ring buffer, shows or records them, and reports what it saw.
#include <cstdio>
#include <memory>
#include <thread>

#include "commands.h"
#include "dump.h"
#include "pcap_writer.h"
#include "recorder.h"
#include "status_name.h"

namespace dltool {

namespace {

// The collector's wait: short enough that Ctrl-C is seen within a quarter
// of a second when the link is quiet.
constexpr int kWaitAttempts = 1;
constexpr int kWaitMicroseconds = 250000;
constexpr auto kRingFullPause = std::chrono::microseconds(50);

}  // namespace

int run_listen(const ListenOptions& options) {
  std::unique_ptr<FILE, int (*)(FILE*)> out(nullptr, &std::fclose);
  if (!options.out_file.empty()) {
    out.reset(std::fopen(options.out_file.c_str(), "wb"));
    if (!out) {
      fail_line("cannot write " + options.out_file);
      return kExitFailure;
    }
  }
  std::unique_ptr<PcapWriter> pcap;
  if (!options.pcap_file.empty()) {
    std::string error;
    pcap = PcapWriter::open(options.pcap_file, options.link.port, &error);
    if (!pcap) {
      fail_line(error);
      return kExitFailure;
    }
  }
  auto link = open_listener(options.link);
  if (!link) return kExitFailure;
  install_stop_handler();
  std::fprintf(stderr, "listening on %s port %d\n", options.link.unix_domain ? "unix" : "tcp", options.link.port);
  int accepted;
  {
    QuietOutput quiet;
    accepted = link->Connect(true);
  }
  if (accepted != DL_OK) {
    close_link(*link);
    if (stop_requested()) return kExitOk;
    fail_line("accept failed");
    return kExitFailure;
  }

  if (pcap) pcap->connected(options.link.bigend);

  RNG_RingBuffer ring(options.ring_bytes);
  bool write_failed = false;
  Recorder recorder(ring, [&](const char* block, size_t size) {
    if (out && std::fwrite(block, 1, size, out.get()) != size) write_failed = true;
  });

  StatusLine status;
  uint64_t blocks = 0, bytes = 0, refusals = 0, bad_blocks = 0;
  int refused_while_empty = 0;
  int exit_code = kExitOk;
  auto start = std::chrono::steady_clock::now();
  while (!stop_requested() && (options.count == 0 || blocks < options.count)) {
    int rc = link->ReceiveEvent(options.ack ? &ring : nullptr, kWaitAttempts, 0, kWaitMicroseconds);
    if (rc == DL_OK) {
      refused_while_empty = 0;
      uint64_t length = 0;
      const char* block = last_block(*link, &length);
      if (length > options.ring_bytes) {
        status.clear();
        fail_line("ring of " + std::to_string(options.ring_bytes) + " bytes is too small for a block of " +
                  std::to_string(length) + " bytes");
        exit_code = kExitFailure;
        break;
      }
      // Without acknowledgements nothing holds the producer back: wait here
      // until the recorder has made room for the block.
      while (link->WriteBlockToRingBuffer(ring) == DL_ERR_RING_WRITE && !stop_requested())
        std::this_thread::sleep_for(kRingFullPause);
      ++blocks;
      bytes += length;
      if (pcap && block != nullptr) pcap->unit(block, length, link->get_swap(), options.ack);
      if ((options.verbose || options.hex) && block != nullptr) {
        status.clear();
        print_block(blocks, block, length, options.hex);
      }
      status.update(blocks, bytes);
      continue;
    }
    if (rc == DL_ERR_BUFFER_SIZE) {
      ++refusals;
      if (pcap) pcap->refused();
      // Refused although the recorder had emptied the ring: the block is
      // larger than the whole ring and would be refused forever.
      if (ring.bytesUsed() == 0 && ++refused_while_empty >= 2) {
        status.clear();
        fail_line("ring of " + std::to_string(options.ring_bytes) + " bytes is too small for the next block");
        exit_code = kExitFailure;
        break;
      }
      continue;
    }
    if (link->peer_closed()) break;
    if (rc == DL_ERR_TIMEOUT || rc == DL_ERR_SCAN_WOULD_BLOCK) continue;
    if (stop_requested()) break;
    if (rc == DL_ERR_READ) {
      status.clear();
      fail_line("reading from the link failed");
      exit_code = kExitFailure;
      break;
    }
    // A block the library refused (wrong size, failed conversion): the next
    // call resynchronises on the following pattern.
    ++bad_blocks;
    status.clear();
    fail_line(std::string("skipped a bad block: ") + datalink::status_name(rc));
  }
  double seconds = seconds_since(start);
  recorder.finish();
  status.clear();
  close_link(*link);
  if (out && std::fflush(out.get()) != 0) write_failed = true;
  if (pcap && !pcap->ok()) {
    fail_line("writing " + options.pcap_file + " failed");
    exit_code = kExitFailure;
  }
  std::printf("received %llu blocks, %llu bytes in %.2f s (%s), %llu acknowledgement refusals, %llu bad blocks\n",
              static_cast<unsigned long long>(blocks), static_cast<unsigned long long>(bytes), seconds,
              rate_text(bytes, seconds).c_str(), static_cast<unsigned long long>(refusals),
              static_cast<unsigned long long>(bad_blocks));
  if (write_failed) {
    fail_line("writing " + options.out_file + " failed");
    return kExitFailure;
  }
  return exit_code;
}

}  // namespace dltool
