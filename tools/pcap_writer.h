// pcap_writer.h - what a collector received, written as a packet capture: a
// synthetic TCP flow between a producer and the listening port, so that the
// dissector shows sessions no capture tool can see (UNIX-domain links).
#ifndef DATALINK_TOOL_PCAP_WRITER_H
#define DATALINK_TOOL_PCAP_WRITER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dltool {

class PcapWriter {
 public:
  // A capture file at path for a listener on port; nullptr and *error when the
  // file cannot be written or the tool was built without libpcap.
  static std::unique_ptr<PcapWriter> open(const std::string& path, int port, std::string* error);
  ~PcapWriter();  // ends the flow with FINs and closes the file
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // The connection's opening: handshake, then the listener's 4-byte preamble.
  void connected(bool bigend);
  // A block as the collector holds it (host order, whole). converted: the
  // link reversed it on arrival, so it is turned back into wire order. With
  // acknowledgements the header goes alone, the acknowledgement follows, and
  // then the body, as on the wire.
  void unit(const char* block, size_t size, bool converted, bool acknowledged);
  // A header answered with "no room". The collector never hands out a
  // refused header, so only the acknowledgement 1 is written; no body follows.
  void refused();
  // False once a packet could not be written.
  bool ok() const;

 private:
  struct Impl;
  explicit PcapWriter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace dltool

#endif  // DATALINK_TOOL_PCAP_WRITER_H
