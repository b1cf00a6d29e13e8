// The datalink program as a user runs it: the demo, a recording replayed
// byte for byte, and clear refusals of bad input.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

struct ToolRun {
  int exit_code = -1;
  std::string out;
  std::string err;
};

std::string slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::string temp_path(const std::string& name) { return "/tmp/datalink-tool-" + std::to_string(getpid()) + "-" + name; }

// A running datalink process with its output in files.
class Process {
 public:
  // The datalink tool, or another program found on PATH.
  explicit Process(const std::vector<std::string>& args, const char* program = DATALINK_TOOL) {
    static int serial = 0;
    std::string tag = std::to_string(++serial);
    out_path_ = temp_path("out" + tag);
    err_path_ = temp_path("err" + tag);
    pid_ = fork();
    if (pid_ == 0) {
      freopen(out_path_.c_str(), "w", stdout);
      freopen(err_path_.c_str(), "w", stderr);
      std::vector<char*> argv{const_cast<char*>(program)};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execvp(program, argv.data());
      _exit(127);
    }
  }
  ~Process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
  }

  // Waits for the end, killing the process after `seconds`.
  ToolRun wait(int seconds) {
    ToolRun run;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        ADD_FAILURE() << "datalink did not finish within " << seconds << " s";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    run.out = slurp(out_path_);
    run.err = slurp(err_path_);
    return run;
  }

  // Waits until the process has written `text` to stderr.
  bool wait_for_stderr(const std::string& text, int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      if (slurp(err_path_).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  void interrupt() { kill(pid_, SIGINT); }

 private:
  pid_t pid_ = -1;
  std::string out_path_;
  std::string err_path_;
};

ToolRun datalink(const std::vector<std::string>& args, int seconds = 60) { return Process(args).wait(seconds); }

// What tshark with the dissector loaded shows of a capture: every value of
// each field, in order (a segment with several units gives several).
struct Dissected {
  std::vector<std::string> kinds, patterns, numbers, lengths, acks, answered;
  std::string experts;
  std::string output;
};

bool have_tshark() { return Process({"--version"}, "tshark").wait(30).exit_code == 0; }

Dissected dissect(const std::string& capture, int decode_as_port = 0) {
  std::vector<std::string> args{"-2", "-n",       "-r", capture,  "-X", std::string("lua_script:") + DATALINK_DISSECTOR,
                                "-Y", "datalink", "-T", "fields", "-E", "aggregator=,"};
  if (decode_as_port != 0) args.insert(args.end(), {"-d", "tcp.port==" + std::to_string(decode_as_port) + ",datalink"});
  for (const char* field : {"datalink.kind", "datalink.pattern", "datalink.number", "datalink.length", "datalink.ack",
                            "datalink.request_in", "_ws.expert.message"})
    args.insert(args.end(), {"-e", field});
  ToolRun run = Process(args, "tshark").wait(30);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  Dissected result;
  result.output = run.out;
  std::vector<std::string>* columns[] = {&result.kinds,   &result.patterns, &result.numbers,
                                         &result.lengths, &result.acks,     &result.answered};
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream cells(line);
    std::string cell;
    for (std::vector<std::string>* column : columns) {
      std::getline(cells, cell, '\t');
      std::istringstream values(cell);
      for (std::string value; std::getline(values, value, ',');) column->push_back(value);
    }
    std::getline(cells, cell);
    result.experts += cell + "\n";
  }
  return result;
}

// What "datalink send --kind kind --count count --size size --ack" sent: every
// unit once, in order, each header acknowledged with room.
void expect_sent_units(const Dissected& seen, const std::string& kind, int count, int size) {
  const int header = kind == "event2024" ? 48 : kind == "slow" ? 12 : 36;
  std::vector<std::string> kinds, patterns, numbers, lengths;
  for (int i = 0; i < count; ++i) {
    kinds.push_back(kind);
    patterns.push_back(kind == "event2024" ? "0xffccffcc"
                       : kind == "slow"    ? (i % 2 ? "0xffeeffff" : "0xffeeffcc")
                                           : (i % 2 ? "0xffeeffdd" : "0xffeeffee"));
    if (kind != "slow") numbers.push_back(std::to_string(i));
    lengths.push_back(std::to_string(header + size));
  }
  EXPECT_EQ(seen.kinds, kinds) << seen.output;
  EXPECT_EQ(seen.patterns, patterns);
  EXPECT_EQ(seen.numbers, numbers);
  EXPECT_EQ(seen.lengths, lengths);
  EXPECT_EQ(seen.acks, std::vector<std::string>(count, "0"));
  EXPECT_EQ(seen.answered.size(), static_cast<size_t>(count)) << "acknowledgements without their unit";
}

}  // namespace

TEST(Tool, DemoChecksEveryByteOverEachTransport) {
  for (std::vector<std::string> flags : {std::vector<std::string>{}, {"--unix"}, {"--bigend"}}) {
    flags.insert(flags.begin(), "demo");
    flags.insert(flags.end(), {"--units", "600", "--images", "40"});
    ToolRun run = datalink(flags);
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("mismatches: 0\n"), std::string::npos) << run.out;
  }
}

TEST(Tool, RecordingReplaysByteForByte) {
  const std::string first = temp_path("first.dat"), second = temp_path("second.dat");
  for (const char* kind : {"event", "event2024", "slow"}) {
    SCOPED_TRACE(kind);
    int port = testsupport::free_port();
    Process record({"listen", "--port", std::to_string(port), "--ack", "--out", first, "--count", "150"});
    ASSERT_TRUE(record.wait_for_stderr("listening on tcp port", 10));
    ToolRun sent = datalink({"send", "--port", std::to_string(port), "--kind", kind, "--ack", "--count", "150",
                             "--size", "301", "--batch", "16"});
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    ToolRun recorded = record.wait(30);
    EXPECT_EQ(recorded.exit_code, 0) << recorded.err;
    EXPECT_NE(recorded.out.find("received 150 blocks"), std::string::npos) << recorded.out;

    // Replayed over a converting link, without acknowledgements on either
    // side this time, the recording comes out the same. Both sends go in
    // batches of SendEvents.
    port = testsupport::free_port();
    Process again({"listen", "--port", std::to_string(port), "--bigend", "--out", second, "--count", "150"});
    ASSERT_TRUE(again.wait_for_stderr("listening on tcp port", 10));
    ToolRun replayed = datalink({"send", "--port", std::to_string(port), "--replay", first, "--batch", "64"});
    EXPECT_EQ(replayed.exit_code, 0) << replayed.err;
    EXPECT_EQ(again.wait(30).exit_code, 0);
    std::string original = slurp(first);
    EXPECT_EQ(original.size(), 150u * (301 + (std::string(kind) == "event2024" ? 48
                                              : std::string(kind) == "slow"    ? 12
                                                                               : 36)));
    EXPECT_TRUE(original == slurp(second)) << "replayed recording differs";
  }
  unlink(first.c_str());
  unlink(second.c_str());
}

TEST(Tool, CtrlCEndsTheCollectorWithItsSummary) {
  int port = testsupport::free_port();
  Process listener({"listen", "--port", std::to_string(port)});
  ASSERT_TRUE(listener.wait_for_stderr("listening on tcp port", 10));
  Process sender({"send", "--port", std::to_string(port), "--count", "100000000", "--rate", "2000"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  listener.interrupt();
  ToolRun run = listener.wait(10);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("received "), std::string::npos) << run.out;
}

TEST(Tool, BadInputGetsAOneLineErrorAndAnExitCode) {
  ToolRun run = datalink({"send", "--kind", "video"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("datalink: "), std::string::npos);
  EXPECT_EQ(datalink({"frobnicate"}).exit_code, 2);
  EXPECT_EQ(datalink({}).exit_code, 2);
  run = datalink({"send", "--kind", "image", "--ack"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("--ack cannot be used with --kind image"), std::string::npos);
  EXPECT_EQ(datalink({"--version"}).exit_code, 0);
  EXPECT_EQ(datalink({"listen", "--help"}).exit_code, 0);

  run = datalink({"send", "--host", "no-such-host.invalid", "--port", "5010"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err, "datalink: unknown host no-such-host.invalid\n");
  run = datalink({"send", "--port", std::to_string(testsupport::free_port())});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.err.find("nobody listens there"), std::string::npos);

  // A port already taken by another listener.
  int port = testsupport::free_port();
  DataLink holder(0);
  {
    testsupport::Capture quiet(1);
    ASSERT_EQ(holder.SocketSetup(port), DL_OK);
  }
  run = datalink({"listen", "--port", std::to_string(port)});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.err.find("cannot listen on port"), std::string::npos) << run.err;
  {
    testsupport::Capture quiet(1);
    holder.SocketRelease();
  }

  // A ring buffer smaller than one block, with and without acknowledgements.
  for (bool ack : {false, true}) {
    port = testsupport::free_port();
    std::vector<std::string> listen_args{"listen", "--port", std::to_string(port), "--ring", "100"};
    std::vector<std::string> send_args{"send", "--port", std::to_string(port), "--size", "500", "--count", "3"};
    if (ack) {
      listen_args.push_back("--ack");
      send_args.push_back("--ack");
    }
    Process small(listen_args);
    ASSERT_TRUE(small.wait_for_stderr("listening on tcp port", 10));
    Process sender(send_args);
    run = small.wait(30);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("datalink: ring of 100 bytes is too small"), std::string::npos) << run.err;
  }

  // A replay file cut inside its second block is refused before anything is sent.
  const std::string cut = temp_path("cut.dat");
  {
    vrq5_daq_slow_data_header header{VRQ5_PATTERN_SLOW, 20, 2};
    std::ofstream file(cut, std::ios::binary);
    for (int i = 0; i < 2; ++i) {
      file.write(reinterpret_cast<const char*>(&header), sizeof header);
      file.write("12345678", i == 0 ? 8 : 3);
    }
  }
  run = datalink({"send", "--port", "5010", "--replay", cut});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.err.find("is truncated: block 2 at offset 20 needs 20 bytes, 15 are left"), std::string::npos)
      << run.err;
  unlink(cut.c_str());
}

TEST(Capture, RecordingsReadBackAsTheCollectorShowedThem) {
  const std::string recording = temp_path("capture.dat");
  std::vector<std::string> captures;
  const std::vector<std::vector<std::string>> runs{{"event"}, {"event2024", "--bigend"}, {"slow"}};
  for (const std::vector<std::string>& run : runs) {
    SCOPED_TRACE(run[0]);
    const std::string capture = temp_path(run[0] + ".pcap");
    int port = testsupport::free_port();
    std::vector<std::string> listen_args{
        "listen", "--port", std::to_string(port), "--ack",    "--count", "40", "--out", recording,
        "--pcap", capture,  "--verbose",          "--format", "hex"};
    listen_args.insert(listen_args.end(), run.begin() + 1, run.end());
    Process listener(listen_args);
    if (!listener.wait_for_stderr("listening on tcp port", 10)) {
      ToolRun failed = listener.wait(5);
      if (failed.err.find("built without libpcap") != std::string::npos) GTEST_SKIP() << failed.err;
      FAIL() << failed.err;
    }
    ToolRun sent =
        datalink({"send", "--port", std::to_string(port), "--kind", run[0], "--ack", "--count", "40", "--size", "70"});
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    ToolRun shown = listener.wait(30);
    EXPECT_EQ(shown.exit_code, 0) << shown.err;

    // Offline, the recording prints the lines and bytes the collector printed live.
    ToolRun dumped = datalink({"capture-dump", recording});
    EXPECT_EQ(dumped.exit_code, 0) << dumped.err;
    const size_t live_end = shown.out.find("received "), dump_end = dumped.out.find("40 blocks, ");
    ASSERT_NE(live_end, std::string::npos) << shown.out;
    ASSERT_NE(dump_end, std::string::npos) << dumped.out;
    EXPECT_EQ(shown.out.substr(0, live_end), dumped.out.substr(0, dump_end));
    captures.push_back(capture);
  }
  // A recording that ends inside a block is shown up to it and refused.
  ASSERT_EQ(truncate(recording.c_str(), 40 * (12 + 70) - 5), 0);
  ToolRun cut = datalink({"inspect", recording, "--format", "text"});
  EXPECT_EQ(cut.exit_code, 1);
  EXPECT_NE(cut.out.find("block 39 slow"), std::string::npos) << cut.out;
  EXPECT_NE(cut.err.find("77 bytes at offset 3198 are no whole block"), std::string::npos) << cut.err;
  unlink(recording.c_str());

  const bool dissect_them = have_tshark();
  for (size_t i = 0; dissect_them && i < captures.size(); ++i) {
    SCOPED_TRACE(captures[i]);
    expect_sent_units(dissect(captures[i]), runs[i][0], 40, 70);
  }
  for (const std::string& capture : captures) unlink(capture.c_str());
  if (!dissect_them) GTEST_SKIP() << "tshark is not installed: the pcaps of listen --pcap were not dissected";
}

TEST(Capture, LiveLoopbackCaptureShowsEveryUnitAndAcknowledgement) {
  constexpr size_t kPcapFileHeaderBytes = 24;
  if (!have_tshark()) GTEST_SKIP() << "tshark is not installed";
  const std::string capture = temp_path("live.pcap");
  const int port = testsupport::free_port();
  {
    Process dumpcap({"-q", "-B", "16", "-i", "lo", "-f", "tcp port " + std::to_string(port), "-P", "-w", capture, "-a",
                     "duration:40"},
                    "dumpcap");
    // "Capturing on" can come before the filter takes packets on a loaded
    // machine: knock on the closed port until the knocks show in the file.
    bool capturing = dumpcap.wait_for_stderr("Capturing on", 10);
    for (int knock = 0; capturing && slurp(capture).size() <= kPcapFileHeaderBytes; ++knock) {
      if (knock == 100) capturing = false;
      testsupport::raw_connect(port, false);  // refused: a SYN and a reset on the port
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!capturing) {
      unlink(capture.c_str());
      GTEST_SKIP() << "capturing on loopback is not permitted here (dumpcap captured nothing)";
    }
    Process listener({"listen", "--port", std::to_string(port), "--ack", "--count", "30"});
    ASSERT_TRUE(listener.wait_for_stderr("listening on tcp port", 10));
    ToolRun sent = datalink(
        {"send", "--port", std::to_string(port), "--kind", "event", "--ack", "--count", "30", "--size", "3000"});
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    EXPECT_EQ(listener.wait(30).exit_code, 0);
    // dumpcap drops what it has not yet taken from the kernel when it is
    // interrupted: wait until the file has stopped growing.
    std::string before;
    for (int check = 0; check < 40; ++check) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      std::string now = slurp(capture);
      if (now.size() > kPcapFileHeaderBytes && now == before) break;
      before = now;
    }
    dumpcap.interrupt();
    dumpcap.wait(10);
  }
  expect_sent_units(dissect(capture, port), "event", 30, 3000);
  unlink(capture.c_str());
}

TEST(Capture, FixtureShowsUnitsAcknowledgementsAndStrayBytes) {
  if (!have_tshark()) GTEST_SKIP() << "tshark is not installed";
  // Found by the heuristic alone: a split header, a body in three segments,
  // stray bytes, two units in one segment, a unit in the other byte order.
  Dissected seen = dissect(DATALINK_FIXTURE);
  EXPECT_EQ(seen.kinds, (std::vector<std::string>{"event", "event2024", "slow", "event", "event", "event"}))
      << seen.output;
  EXPECT_EQ(seen.patterns, (std::vector<std::string>{"0xffeeffee", "0xffccffcc", "0xffeeffff", "0xffeeffdd",
                                                     "0xffeeffee", "0xffeeffdd"}));
  EXPECT_EQ(seen.numbers, (std::vector<std::string>{"1", "2", "4", "5", "6"}));
  EXPECT_EQ(seen.lengths, (std::vector<std::string>{"56", "148", "28", "44", "48", "40"}));
  EXPECT_EQ(seen.acks, std::vector<std::string>(6, "0"));
  EXPECT_EQ(seen.answered.size(), 6u);
  EXPECT_NE(seen.experts.find("stray bytes before pattern"), std::string::npos) << seen.experts;
  EXPECT_NE(seen.experts.find("reversed pattern"), std::string::npos) << seen.experts;
}
