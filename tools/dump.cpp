// dump.cpp - "datalink capture-dump": a recording of "listen --out" read back
// offline, block by block, as the collector showed it live.
#include "dump.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "commands.h"

namespace dltool {

namespace {

constexpr size_t kHexBytesPerLine = 16;

void dump_hex(const char* block, size_t size) {
  for (size_t offset = 0; offset < size; offset += kHexBytesPerLine) {
    std::printf("  %08zx ", offset);
    for (size_t i = offset; i < offset + kHexBytesPerLine && i < size; ++i)
      std::printf(" %02x", static_cast<unsigned char>(block[i]));
    std::printf("\n");
  }
}

}  // namespace

void print_block(uint64_t ordinal, const char* block, size_t size, bool hex) {
  std::printf("block %llu %s\n", static_cast<unsigned long long>(ordinal), describe_block(block, size).c_str());
  if (hex) dump_hex(block, size);
}

int run_capture_dump(const DumpOptions& options) {
  std::ifstream file(options.file, std::ios::binary);
  if (!file) {
    fail_line("cannot read " + options.file);
    return kExitFailure;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // A recording holds whole host-order blocks back to back, so each block's
  // own length leads to the next one.
  size_t offset = 0;
  uint64_t blocks = 0;
  BlockInfo info;
  while (offset < bytes.size() && block_info(bytes.data() + offset, bytes.size() - offset, &info) &&
         info.length >= info.header_bytes && info.length <= bytes.size() - offset) {
    print_block(++blocks, bytes.data() + offset, info.length, options.hex);
    offset += info.length;
  }
  std::printf("%llu blocks, %zu bytes\n", static_cast<unsigned long long>(blocks), offset);
  if (offset != bytes.size()) {
    fail_line(std::to_string(bytes.size() - offset) + " bytes at offset " + std::to_string(offset) +
              " are no whole block");
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace dltool
