// units.h - synthetic units of every kind for the datalink tool: built from
// an index so that a collector can regenerate and check every byte, and
// recognised again from their host-order headers.
#ifndef DATALINK_TOOL_UNITS_H
#define DATALINK_TOOL_UNITS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "DataLink.h"

namespace dltool {

enum class Kind { Event, Event2024, Slow, Image };

const char* kind_name(Kind kind);
bool parse_kind(const std::string& text, Kind* kind);

// A unit as a producer hands it to SendEvent: the header record and the body,
// both in host order. For an image the header is the 8-byte image head and
// the body starts with the 100-byte frame head.
struct Unit {
  Kind kind = Kind::Event;
  std::vector<char> header;
  std::vector<char> body;
  size_t length() const { return header.size() + body.size(); }
  std::vector<char> bytes() const;  // header and body back to back
};

constexpr size_t kImageFrameHeadBytes = sizeof(vrq5_image_ext_frame_head);
constexpr size_t kImageIntroBytes = sizeof(vrq5_image_ext_intro);

// The unit number `index` of a kind with `body_bytes` bytes behind its header
// (for an image: bytes of image data behind the 108-byte intro).
Unit make_unit(Kind kind, uint64_t index, size_t body_bytes);

// A unit rebuilt from a recorded host-order block (header, then body).
bool unit_from_block(const char* block, size_t size, Unit* unit);

// Sends a unit: element 0 the header, element 1 the body.
int send_unit(DataLink& link, const Unit& unit, bool ack);
// Sends the units in one SendEvents call; *sent receives how many went out.
int send_units(DataLink& link, const std::vector<const Unit*>& units, bool ack, int* sent);

// What a host-order block's first bytes say about it.
struct BlockInfo {
  Kind kind;
  size_t header_bytes;
  uint64_t length;  // whole block, header included
};
constexpr size_t kLongestHeaderBytes = sizeof(vrq5_eventheader_2024);
// Needs the first `available` bytes of a block; false when they are too few
// to tell or the pattern is none of the event stream's.
bool block_info(const char* block, size_t available, BlockInfo* info);

// The block a collector received last (host order after repair) and its
// length from its own header; null when the link holds no block. Unlike the
// length accessor this does not depend on the process-wide data format.
const char* last_block(DataLink& link, uint64_t* length);

// "event2024 type=1 number=12 length=1084 time=1700000000.000123"
std::string describe_block(const char* block, size_t size);

// Words of data reversed as a converting link delivers image data.
void swap_words(std::vector<char>& data);

}  // namespace dltool

#endif  // DATALINK_TOOL_UNITS_H
