// pcap_writer.cpp - the synthetic TCP flow behind "listen --pcap". Ethernet,
// IPv4 and TCP headers are built here; libpcap writes the file format.
#include "pcap_writer.h"

#include <sys/time.h>

#include <cstring>

#include "units.h"

#ifdef DATALINK_HAVE_PCAP
#include <pcap/pcap.h>
#endif

namespace dltool {

#ifdef DATALINK_HAVE_PCAP

namespace {

constexpr size_t kEthernetBytes = 14;
constexpr size_t kIpv4Bytes = 20;
constexpr size_t kTcpBytes = 20;
constexpr size_t kFrameHeadBytes = kEthernetBytes + kIpv4Bytes + kTcpBytes;
// Below the 65535-byte IPv4 limit; larger units go out as several segments,
// which the dissector reassembles like any other capture's.
constexpr size_t kMaxSegmentBytes = 65000;
constexpr int kSnapLengthBytes = 262144;
constexpr uint32_t kLoopbackAddress = 0x7F000001;
constexpr uint16_t kProducerPort = 40000;
constexpr uint32_t kProducerFirstSeq = 1000;
constexpr uint32_t kListenerFirstSeq = 5000;
constexpr uint8_t kFin = 0x01, kSyn = 0x02, kPsh = 0x08, kAck = 0x10;

void put16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}
void put32(uint8_t* at, uint32_t value) {
  put16(at, static_cast<uint16_t>(value >> 16));
  put16(at + 2, static_cast<uint16_t>(value));
}

// The ones'-complement sum of IPv4 and TCP, over big-endian 16-bit words.
uint32_t sum16(const uint8_t* data, size_t size, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < size; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (size % 2) sum += static_cast<uint32_t>(data[size - 1] << 8);
  return sum;
}
uint16_t fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// One end of the flow: its port and the next sequence number it sends.
struct Side {
  uint16_t port;
  uint32_t seq;
};

}  // namespace

struct PcapWriter::Impl {
  pcap_t* dead = nullptr;
  pcap_dumper_t* dumper = nullptr;
  Side producer{kProducerPort, kProducerFirstSeq};
  Side listener{0, kListenerFirstSeq};
  uint16_t ip_id = 1;
  bool failed = false;
  std::vector<uint8_t> frame;

  ~Impl() {
    if (dumper != nullptr) pcap_dump_close(dumper);
    if (dead != nullptr) pcap_close(dead);
  }

  void packet(Side& from, const Side& to, uint8_t flags, const char* data, size_t size) {
    frame.assign(kFrameHeadBytes + size, 0);
    uint8_t* ethernet = frame.data();
    put16(ethernet + 12, 0x0800);  // IPv4; both addresses stay zero
    uint8_t* ip = ethernet + kEthernetBytes;
    ip[0] = 0x45;
    put16(ip + 2, static_cast<uint16_t>(kIpv4Bytes + kTcpBytes + size));
    put16(ip + 4, ip_id++);
    put16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 64;
    ip[9] = 6;  // TCP
    put32(ip + 12, kLoopbackAddress);
    put32(ip + 16, kLoopbackAddress);
    put16(ip + 10, fold(sum16(ip, kIpv4Bytes)));
    uint8_t* tcp = ip + kIpv4Bytes;
    put16(tcp, from.port);
    put16(tcp + 2, to.port);
    put32(tcp + 4, from.seq);
    if (flags & kAck) put32(tcp + 8, to.seq);
    tcp[12] = (kTcpBytes / 4) << 4;
    tcp[13] = flags;
    put16(tcp + 14, 65535);
    if (size > 0) std::memcpy(tcp + kTcpBytes, data, size);
    // Pseudo header: addresses, protocol and TCP length.
    const size_t tcp_length = kTcpBytes + size;
    uint32_t sum = sum16(ip + 12, 8, 6 + static_cast<uint32_t>(tcp_length));
    put16(tcp + 16, fold(sum16(tcp, tcp_length, sum)));
    from.seq += static_cast<uint32_t>(size) + ((flags & (kSyn | kFin)) ? 1 : 0);

    struct pcap_pkthdr header {};
    gettimeofday(&header.ts, nullptr);
    header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
    pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.data());
  }

  void send(Side& from, const Side& to, const char* data, size_t size) {
    for (size_t offset = 0; offset < size; offset += kMaxSegmentBytes) {
      const size_t piece = std::min(kMaxSegmentBytes, size - offset);
      packet(from, to, kPsh | kAck, data + offset, piece);
    }
  }
  void from_producer(const char* data, size_t size) { send(producer, listener, data, size); }
  void from_listener(const char* data, size_t size) { send(listener, producer, data, size); }
  void ack(int32_t value) {
    // The acknowledgement travels in the collector's host order, never converted.
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    from_listener(bytes, sizeof bytes);
  }
};

std::unique_ptr<PcapWriter> PcapWriter::open(const std::string& path, int port, std::string* error) {
  auto impl = std::make_unique<Impl>();
  impl->listener.port = static_cast<uint16_t>(port);
  if (impl->listener.port == impl->producer.port) ++impl->producer.port;
  impl->dead = pcap_open_dead(DLT_EN10MB, kSnapLengthBytes);
  if (impl->dead == nullptr) {
    *error = "libpcap cannot start a capture file";
    return nullptr;
  }
  impl->dumper = pcap_dump_open(impl->dead, path.c_str());
  if (impl->dumper == nullptr) {
    *error = "cannot write " + path + ": " + pcap_geterr(impl->dead);
    return nullptr;
  }
  return std::unique_ptr<PcapWriter>(new PcapWriter(std::move(impl)));
}

PcapWriter::PcapWriter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PcapWriter::~PcapWriter() {
  impl_->packet(impl_->producer, impl_->listener, kFin | kAck, nullptr, 0);
  impl_->packet(impl_->listener, impl_->producer, kFin | kAck, nullptr, 0);
  impl_->packet(impl_->producer, impl_->listener, kAck, nullptr, 0);
}

bool PcapWriter::ok() const { return pcap_dump_flush(impl_->dumper) == 0; }

void PcapWriter::connected(bool bigend) {
  impl_->packet(impl_->producer, impl_->listener, kSyn, nullptr, 0);
  impl_->packet(impl_->listener, impl_->producer, kSyn | kAck, nullptr, 0);
  impl_->packet(impl_->producer, impl_->listener, kAck, nullptr, 0);
  // The preamble goes out in the listener's own byte order, unconverted.
  const uint32_t preamble = bigend ? 0x0C0D0E0Fu : 0x0A0B0C0Du;
  char bytes[sizeof preamble];
  std::memcpy(bytes, &preamble, sizeof preamble);
  impl_->from_listener(bytes, sizeof bytes);
}

void PcapWriter::unit(const char* block, size_t size, bool converted, bool acknowledged) {
  BlockInfo info;
  if (!block_info(block, size, &info) || info.length != size) return;
  std::vector<char> wire(block, block + size);
  // Reversal is its own inverse: converting the host-order block again
  // gives the bytes that arrived.
  if (converted && info.kind == Kind::Slow) vrq5_convert_slow_data_sized(wire.data(), wire.data(), size);
  if (converted && info.kind != Kind::Slow) vrq5_convert_event_sized(wire.data(), wire.data(), info.header_bytes, size);
  if (!acknowledged) {
    impl_->from_producer(wire.data(), size);
    return;
  }
  impl_->from_producer(wire.data(), info.header_bytes);
  impl_->ack(0);
  impl_->from_producer(wire.data() + info.header_bytes, size - info.header_bytes);
}

void PcapWriter::refused() { impl_->ack(1); }

#else  // without libpcap: --pcap is refused with a message

struct PcapWriter::Impl {};

std::unique_ptr<PcapWriter> PcapWriter::open(const std::string&, int, std::string* error) {
  *error = "--pcap is not available: this datalink was built without libpcap (install libpcap-dev and rebuild)";
  return nullptr;
}
PcapWriter::PcapWriter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PcapWriter::~PcapWriter() = default;
bool PcapWriter::ok() const { return false; }
void PcapWriter::connected(bool) {}
void PcapWriter::unit(const char*, size_t, bool, bool) {}
void PcapWriter::refused() {}

#endif

}  // namespace dltool
