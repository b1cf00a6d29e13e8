// dump.h - one line per block, optionally with its bytes in hex: what
// "listen --verbose" prints live and "capture-dump" prints from a recording.
#ifndef DATALINK_TOOL_DUMP_H
#define DATALINK_TOOL_DUMP_H

#include <cstddef>
#include <cstdint>

namespace dltool {

// "block <ordinal> <description>", then with hex 16 bytes per line.
void print_block(uint64_t ordinal, const char* block, size_t size, bool hex);

}  // namespace dltool

#endif  // DATALINK_TOOL_DUMP_H
