// datalink.cpp - the command-line program: a one-command demo, a collector,
// a producer or replayer, and a throughput bench, all on the DataLink library.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "commands.h"

using namespace dltool;

namespace {

void add_link_options(CLI::App* command, LinkOptions* link, bool listener) {
  command->add_option("--port,-p", link->port, "TCP port, or the N of the UNIX-domain path /tmp/N.tcp")
      ->check(CLI::Range(1, 65535));
  command->add_flag("--unix", link->unix_domain, "use a UNIX-domain socket instead of TCP");
  if (listener) command->add_flag("--bigend", link->bigend, "announce big-endian order, so both ends convert");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"datalink - event stream links for data acquisition"};
  app.set_version_flag("--version", std::string("datalink ") + DATALINK_VERSION);
  app.require_subcommand(1);

  DemoOptions demo;
  demo.link.port = 0;
  CLI::App* demo_command =
      app.add_subcommand("demo", "run a producer and a collector over loopback and check every byte");
  add_link_options(demo_command, &demo.link, true);
  demo_command->add_option("--units", demo.units, "acknowledged events and slow-data blocks to send");
  demo_command->add_option("--images", demo.images, "camera images to send after them");

  ListenOptions listen;
  std::string format = "text";
  CLI::App* listen_command = app.add_subcommand("listen", "collect blocks from one producer");
  add_link_options(listen_command, &listen.link, true);
  listen_command->add_option("--ring", listen.ring_bytes, "ring buffer size in bytes")->check(CLI::PositiveNumber);
  listen_command->add_option("--out,-o", listen.out_file, "record the blocks, in host order, into this file");
  listen_command->add_option("--count,-n", listen.count, "stop after this many blocks (0: until the peer closes)");
  listen_command->add_flag("--ack", listen.ack,
                           "acknowledge every header from the ring's free space (the producer sends with --ack)");
  listen_command->add_option("--pcap", listen.pcap_file,
                             "also write the received units as a packet capture (a synthetic TCP flow)");
  listen_command->add_flag("--verbose,-v", listen.verbose, "one line per block");
  listen_command->add_option("--format", format, "text, or hex to dump each block's bytes")
      ->check(CLI::IsMember({"text", "hex"}));

  SendOptions send;
  std::string kind = "event";
  CLI::App* send_command = app.add_subcommand("send", "send synthetic units, or replay a recorded file");
  send_command->add_option("--host", send.link.host, "host of the listener");
  add_link_options(send_command, &send.link, false);
  send_command->add_flag("--ack", send.ack, "wait for the collector's acknowledgement of every unit");
  send_command->add_option("--count,-n", send.count, "units to send");
  send_command->add_option("--size,-s", send.size, "bytes of body behind each header");
  send_command->add_option("--kind", kind, "event, event2024, slow or image")
      ->check(CLI::IsMember({"event", "event2024", "slow", "image"}));
  send_command->add_option("--retries", send.retries, "100 ms waits a unit may spend without progress (a slow link)")
      ->check(CLI::PositiveNumber);
  send_command->add_option("--rate", send.rate_hz, "units per second (0: as fast as possible)")
      ->check(CLI::NonNegativeNumber);
  send_command->add_option("--batch", send.batch, "units handed to one SendEvents call (1: SendEvent per unit)")
      ->check(CLI::PositiveNumber);
  send_command->add_option("--replay", send.replay_file, "send the blocks of a file that listen --out wrote")
      ->check(CLI::ExistingFile);

  DumpOptions dump;
  std::string dump_format = "hex";
  CLI::App* dump_command =
      app.add_subcommand("capture-dump", "show a recording of listen --out as listen --verbose --format hex did");
  dump_command->alias("inspect");
  dump_command->add_option("file", dump.file, "the recording")->required()->check(CLI::ExistingFile);
  dump_command->add_option("--format", dump_format, "hex, or text for the block lines alone")
      ->check(CLI::IsMember({"text", "hex"}));

  BenchOptions bench;
  CLI::App* bench_command =
      app.add_subcommand("bench", "throughput of the link on this machine, by transport and unit size");
  bench_command->add_flag("--csv", bench.csv, "comma-separated output for machines");
  bench_command->add_flag("--quick", bench.quick, "few units per row: a smoke run");
  bench_command->add_option("--sizes", bench.sizes, "comma-separated unit sizes in bytes")
      ->delimiter(',')
      ->check(CLI::PositiveNumber);
  bench_command->add_option("--transports", bench.transports, "tcp, unix or both (comma-separated)")
      ->delimiter(',')
      ->check(CLI::IsMember({"tcp", "unix"}));
  bench_command->add_flag("--bigend", bench.bigend, "the collector announces big-endian order, so both ends convert");
  bench_command->add_option("--count", bench.count, "units per row (0: by unit size)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "datalink: %s\nRun with --help for usage.\n", e.what());
    return kExitUsage;
  }

  if (*demo_command) return run_demo(demo);
  if (*listen_command) {
    listen.hex = format == "hex";
    return run_listen(listen);
  }
  if (*send_command) {
    parse_kind(kind, &send.kind);
    if (send.ack && send.kind == Kind::Image) {
      std::fprintf(stderr,
                   "datalink: --ack cannot be used with --kind image: only event and slow-data headers are "
                   "acknowledged\n");
      return kExitUsage;
    }
    return run_send(send);
  }
  if (*dump_command) {
    dump.hex = dump_format == "hex";
    return run_capture_dump(dump);
  }
  return run_bench(bench);
}
