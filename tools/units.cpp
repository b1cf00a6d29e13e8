// units.cpp - synthetic units and their recognition.
#include "units.h"

#include <cstdio>
#include <cstring>

#include "patterns.h"

namespace dltool {

namespace {

// A cheap, deterministic byte stream per unit (xorshift64).
void fill(std::vector<char>& bytes, size_t from, uint64_t seed) {
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull;
  for (size_t i = from; i < bytes.size(); ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    bytes[i] = static_cast<char>(state >> 24);
  }
}

template <typename Record>
std::vector<char> record_bytes(const Record& record) {
  std::vector<char> bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return bytes;
}

uint32_t first_word(const char* block) {
  uint32_t word;
  std::memcpy(&word, block, sizeof word);
  return word;
}

}  // namespace

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::Event:
      return "event";
    case Kind::Event2024:
      return "event2024";
    case Kind::Slow:
      return "slow";
    case Kind::Image:
      return "image";
  }
  return "?";
}

bool parse_kind(const std::string& text, Kind* kind) {
  for (Kind k : {Kind::Event, Kind::Event2024, Kind::Slow, Kind::Image}) {
    if (text == kind_name(k)) {
      *kind = k;
      return true;
    }
  }
  return false;
}

std::vector<char> Unit::bytes() const {
  std::vector<char> all(header);
  all.insert(all.end(), body.begin(), body.end());
  return all;
}

Unit make_unit(Kind kind, uint64_t index, size_t body_bytes) {
  Unit unit;
  unit.kind = kind;
  const time_stamp when{static_cast<uint32_t>(1700000000u + index / 1000), static_cast<uint32_t>(index % 1000000)};
  const auto type = static_cast<VRQ5_EVTYPE>(index % VRQ5_EV_EVMAX);
  switch (kind) {
    case Kind::Event: {
      vrq5_eventheader hd{};
      hd.pattern = index % 2 ? VRQ5_PATTERN_EVENT_2010 : VRQ5_PATTERN_EVENT;
      hd.event_length = static_cast<uint32_t>(sizeof hd + body_bytes);
      hd.event_number = static_cast<uint32_t>(index);
      hd.event_type = type;
      hd.event_time = when;
      hd.tmask = static_cast<int32_t>(index * 3);
      hd.status = 0;
      hd.num_svr_block = 1;
      unit.header = record_bytes(hd);
      break;
    }
    case Kind::Event2024: {
      vrq5_eventheader_2024 hd{};
      hd.pattern = VRQ5_PATTERN_EVENT_2024;
      hd.event_type = type;
      hd.event_length = static_cast<int64_t>(sizeof hd + body_bytes);
      hd.event_number = index;
      hd.event_time = when;
      hd.tmask = static_cast<int32_t>(index * 3);
      hd.num_svr_block = 1;
      unit.header = record_bytes(hd);
      break;
    }
    case Kind::Slow: {
      vrq5_daq_slow_data_header hd{};
      hd.pattern = index % 2 ? VRQ5_PATTERN_SLOW_2024 : VRQ5_PATTERN_SLOW;
      hd.data_length = static_cast<uint32_t>(sizeof hd + body_bytes);
      hd.channels_number = static_cast<uint32_t>(body_bytes / 4);
      unit.header = record_bytes(hd);
      break;
    }
    case Kind::Image: {
      vrq5_image_head hd{VRQ5_PATTERN_EVENT_2010, static_cast<uint32_t>(kImageIntroBytes + body_bytes)};
      unit.header = record_bytes(hd);
      vrq5_image_ext_frame_head frame{};
      frame.width = 640;
      frame.height = static_cast<int32_t>(body_bytes / 1280);
      frame.bpp = 2;
      frame.frame = static_cast<uint32_t>(index);
      frame.event = static_cast<uint32_t>(index);
      frame.scale_x = 1.0f;
      frame.length = static_cast<int32_t>(hd.length);
      unit.body = record_bytes(frame);
      unit.body.resize(kImageFrameHeadBytes + body_bytes);
      fill(unit.body, kImageFrameHeadBytes, index);
      return unit;
    }
  }
  unit.body.resize(body_bytes);
  fill(unit.body, 0, index);
  return unit;
}

bool block_info(const char* block, size_t available, BlockInfo* info) {
  if (available < sizeof(vrq5_daq_slow_data_header)) return false;
  const datalink::patterns::Pattern* row = datalink::patterns::forward(first_word(block));
  if (row == nullptr || available < row->header_bytes) return false;
  switch (row->kind) {
    case datalink::patterns::HeaderKind::Event: {
      vrq5_eventheader hd;
      std::memcpy(&hd, block, sizeof hd);
      *info = BlockInfo{Kind::Event, sizeof hd, hd.event_length};
      return true;
    }
    case datalink::patterns::HeaderKind::Event2024: {
      vrq5_eventheader_2024 hd;
      std::memcpy(&hd, block, sizeof hd);
      if (hd.event_length < 0) return false;
      *info = BlockInfo{Kind::Event2024, sizeof hd, static_cast<uint64_t>(hd.event_length)};
      return true;
    }
    case datalink::patterns::HeaderKind::Slow: {
      vrq5_daq_slow_data_header hd;
      std::memcpy(&hd, block, sizeof hd);
      *info = BlockInfo{Kind::Slow, sizeof hd, hd.data_length};
      return true;
    }
  }
  return false;
}

bool unit_from_block(const char* block, size_t size, Unit* unit) {
  BlockInfo info;
  if (!block_info(block, size, &info) || info.length != size || size < info.header_bytes) return false;
  unit->kind = info.kind;
  unit->header.assign(block, block + info.header_bytes);
  unit->body.assign(block + info.header_bytes, block + size);
  return true;
}

int send_unit(DataLink& link, const Unit& unit, bool ack) {
  // SendEvent may advance the elements after a partial write, so they are
  // rebuilt for every call; it never writes the bytes themselves.
  struct iovec vec[2];
  vec[0].iov_base = const_cast<char*>(unit.header.data());
  vec[0].iov_len = unit.header.size();
  vec[1].iov_base = const_cast<char*>(unit.body.data());
  vec[1].iov_len = unit.body.size();
  return link.SendEvent(vec, 2, ack ? SendEvent_ACK : SendEvent_NOACK);
}

int send_units(DataLink& link, const std::vector<const Unit*>& units, bool ack, int* sent) {
  std::vector<struct iovec> vec;
  vec.reserve(units.size() * 2);
  for (const Unit* unit : units) {
    vec.push_back({const_cast<char*>(unit->header.data()), unit->header.size()});
    vec.push_back({const_cast<char*>(unit->body.data()), unit->body.size()});
  }
  return link.SendEvents(vec.data(), static_cast<int>(vec.size()), ack ? SendEvent_ACK : SendEvent_NOACK, sent);
}

const char* last_block(DataLink& link, uint64_t* length) {
  const char* block = reinterpret_cast<const char*>(link.get_event_header());
  if (block == nullptr) block = reinterpret_cast<const char*>(link.get_event_header_2024());
  if (block == nullptr) block = reinterpret_cast<const char*>(link.get_slow_data_header());
  BlockInfo info;
  // The accessors only hand out a block that holds its whole header.
  if (block == nullptr || !block_info(block, kLongestHeaderBytes, &info)) {
    *length = 0;
    return nullptr;
  }
  *length = info.length;
  return block;
}

std::string describe_block(const char* block, size_t size) {
  BlockInfo info;
  if (!block_info(block, size, &info)) return "unknown block of " + std::to_string(size) + " bytes";
  char text[160];
  if (info.kind == Kind::Slow) {
    vrq5_daq_slow_data_header hd;
    std::memcpy(&hd, block, sizeof hd);
    std::snprintf(text, sizeof text, "slow channels=%u length=%u", hd.channels_number, hd.data_length);
  } else if (info.kind == Kind::Event2024) {
    vrq5_eventheader_2024 hd;
    std::memcpy(&hd, block, sizeof hd);
    std::snprintf(text, sizeof text, "event2024 type=%d number=%llu length=%lld time=%u.%06u", hd.event_type,
                  static_cast<unsigned long long>(hd.event_number), static_cast<long long>(hd.event_length),
                  hd.event_time.timeup, hd.event_time.timelow);
  } else {
    vrq5_eventheader hd;
    std::memcpy(&hd, block, sizeof hd);
    std::snprintf(text, sizeof text, "event type=%d number=%u length=%u time=%u.%06u", hd.event_type, hd.event_number,
                  hd.event_length, hd.event_time.timeup, hd.event_time.timelow);
  }
  return text;
}

void swap_words(std::vector<char>& data) {
  for (size_t i = 0; i + 4 <= data.size(); i += 4) {
    std::swap(data[i], data[i + 3]);
    std::swap(data[i + 1], data[i + 2]);
  }
}

}  // namespace dltool
