// The datalink program as a user runs it: the demo, a recording replayed
// byte for byte, and clear refusals of bad input.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
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
  explicit Process(const std::vector<std::string>& args) {
    static int serial = 0;
    std::string tag = std::to_string(++serial);
    out_path_ = temp_path("out" + tag);
    err_path_ = temp_path("err" + tag);
    pid_ = fork();
    if (pid_ == 0) {
      freopen(out_path_.c_str(), "w", stdout);
      freopen(err_path_.c_str(), "w", stderr);
      std::vector<char*> argv{const_cast<char*>(DATALINK_TOOL)};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(DATALINK_TOOL, argv.data());
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
    ToolRun sent =
        datalink({"send", "--port", std::to_string(port), "--kind", kind, "--ack", "--count", "150", "--size", "301"});
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    ToolRun recorded = record.wait(30);
    EXPECT_EQ(recorded.exit_code, 0) << recorded.err;
    EXPECT_NE(recorded.out.find("received 150 blocks"), std::string::npos) << recorded.out;

    // Replayed over a converting link, without acknowledgements on either
    // side this time, the recording comes out the same.
    port = testsupport::free_port();
    Process again({"listen", "--port", std::to_string(port), "--bigend", "--out", second, "--count", "150"});
    ASSERT_TRUE(again.wait_for_stderr("listening on tcp port", 10));
    ToolRun replayed = datalink({"send", "--port", std::to_string(port), "--replay", first});
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
