// commands.h - the subcommands of the datalink tool and their options.
#ifndef DATALINK_TOOL_COMMANDS_H
#define DATALINK_TOOL_COMMANDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "common.h"
#include "units.h"

namespace dltool {

struct ListenOptions {
  LinkOptions link;
  uint64_t ring_bytes = 64ull << 20;
  std::string out_file;
  std::string pcap_file;  // the received units as a packet capture
  uint64_t count = 0;     // 0: until the producer closes or Ctrl-C
  bool ack = false;       // answer every header from the ring's free space
  bool verbose = false;
  bool hex = false;
};

struct SendOptions {
  LinkOptions link;
  bool ack = false;
  uint64_t count = 1000;
  uint64_t size = 1024;  // bytes of body behind the header
  Kind kind = Kind::Event;
  double rate_hz = 0;  // 0: as fast as the link takes them
  int retries = 10;    // 100 ms waits a unit may spend without progress
  std::string replay_file;
  int batch = 1;  // units handed to one SendEvents call
};

struct DemoOptions {
  LinkOptions link;
  uint64_t units = 3000;
  uint64_t images = 200;
};

struct BenchOptions {
  bool csv = false;
  bool quick = false;  // fewer units per row, for smoke runs
  std::vector<size_t> sizes = {64, 1024, 65536, 1048576};
  std::vector<std::string> transports = {"tcp", "unix"};
  bool bigend = false;  // the listener announces big-endian: both ends convert
  uint64_t count = 0;   // units per row; 0: by size
};

struct DumpOptions {
  std::string file;  // written by listen --out
  bool hex = true;
};

int run_listen(const ListenOptions& options);
int run_send(const SendOptions& options);
int run_demo(const DemoOptions& options);
int run_bench(const BenchOptions& options);
int run_capture_dump(const DumpOptions& options);

}  // namespace dltool

#endif  // DATALINK_TOOL_COMMANDS_H
