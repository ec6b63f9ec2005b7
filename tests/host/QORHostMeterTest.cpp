// End-to-end: a looping real-time stream, and `qorapo meter` reading the peaks its objects publish.
#include <regex>

#include "QORHostRunner.h"

namespace {

namespace fs = std::filesystem;
using qortest::HostResult;

using qortest::kStarted;

using qortest::Db;

class HostMeterTest : public qortest::HostToolTest {
 protected:
  // Ends a looping stream with SIGINT and checks it ended cleanly.
  void Interrupt(pid_t pid, const std::string& tag) {
    Signal(pid, SIGINT);
    const HostResult result = Wait(pid, tag);
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_NE(result.err.find("interrupted; the stream ended there"), std::string::npos)
        << result.err;
  }
};

TEST_F(HostMeterTest, ALoopPlaysOnUntilInterruptedAndAFileOutputIsThenNotLeftPartial) {
  ASSERT_TRUE(qortest::WriteHostAudio(File("short.wav"), qortest::Tones({440.0}, 0.2, 0.2)));
  // No file: the stream plays the file again and again, and just ends when stopped.
  const pid_t none = Start({"process", File("short.wav"), "-", "--realtime", "--loop"}, "none");
  ASSERT_TRUE(WaitForErr(none, "none", kStarted));
  ASSERT_TRUE(WaitForErr(none, "none", "again from its start (pass 3)"));
  Signal(none, SIGTERM);
  const HostResult ended = Wait(none, "none");
  EXPECT_EQ(ended.code, 0) << ended.err;
  EXPECT_NE(ended.err.find("interrupted; the stream ended there"), std::string::npos);
  EXPECT_NE(ended.out.find("output    (none)"), std::string::npos) << ended.out;

  // A file: interrupted, it is not written at all, and nothing is left beside it.
  const pid_t file =
      Start({"process", File("short.wav"), File("looped.wav"), "--realtime", "--loop"}, "file");
  ASSERT_TRUE(WaitForErr(file, "file", kStarted));
  Signal(file, SIGINT);
  const HostResult interrupted = Wait(file, "file");
  EXPECT_EQ(interrupted.code, 130) << interrupted.err;
  EXPECT_NE(interrupted.err.find("interrupted; no output written"), std::string::npos);
  EXPECT_EQ(FileCount(), 1u);
}

TEST_F(HostMeterTest, OnceReadsTheRunningHostsPeaksAsJsonAndSaysWhenNoHostPublishes) {
  // 0.5 at 1 kHz: a sample falls on every crest, so the peak is the amplitude itself.
  ASSERT_TRUE(qortest::WriteHostAudio(File("tone.wav"), qortest::Tones({1000.0}, 0.5, 1.0)));
  const pid_t host = Start(
      {"process", File("tone.wav"), "-", "--realtime", "--loop", "--set", "VAPO3-Process Enable=0"},
      "host");
  ASSERT_TRUE(WaitForErr(host, "host", kStarted)) << qortest::SlurpLog(ErrOf("host"));
  const HostResult reading = Run({"meter", "--once", "--json"});
  ASSERT_EQ(reading.code, 0) << reading.err;
  const nlohmann::json json = reading.Json();
  qortest::ExpectFields(json, {{"endpoint", {{"name", "QOR Demo Speakers"}}}, {"interval_ms", 50}});
  for (const char* meter : {"input", "output"}) {
    SCOPED_TRACE(meter);
    qortest::ExpectFields(json[meter], {{"published", true}, {"read", true}});
    ASSERT_EQ(json[meter]["peaks"].size(), 8u);
    ASSERT_EQ(json[meter]["dbfs"].size(), 8u);
    for (int channel = 0; channel < 2; ++channel) {
      EXPECT_NEAR(Db(json[meter]["peaks"][channel].get<double>()), Db(0.5), 0.1);
      EXPECT_NEAR(json[meter]["dbfs"][channel].get<double>(), Db(0.5), 0.1);
    }
    for (int channel = 2; channel < 8; ++channel) {
      EXPECT_EQ(json[meter]["peaks"][channel].get<double>(), 0.0);
      EXPECT_TRUE(json[meter]["dbfs"][channel].is_null());
    }
  }
  Interrupt(host, "host");

  // Once the host has gone, so have its meters.
  const HostResult after = Run({"meter", "--once", "--json"});
  EXPECT_EQ(after.code, 2);
  EXPECT_NE(after.err.find("no host publishes meters for endpoint 'QOR Demo Speakers'"),
            std::string::npos)
      << after.err;
  EXPECT_TRUE(after.out.empty()) << after.out;
}

// Runs tmux on its own server (socket) and gives what it printed.
std::string Tmux(const fs::path& socket, const std::string& args) {
  std::string out;
  if (FILE* pipe = popen(("tmux -S '" + socket.string() + "' " + args + " 2>&1").c_str(), "r")) {
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) out.append(buffer, got);
    pclose(pipe);
  }
  return out;
}

// The live meter in a tmux pane, read while the level alternates, then stopped with Ctrl-C.
TEST_F(HostMeterTest, LiveBarsInATerminalFollowTheSignalAndCtrlCLeavesTheTerminalClean) {
#ifdef _WIN32
  GTEST_SKIP() << "the bars are read from a tmux pane, which Windows has not";
#endif
  if (std::system("tmux -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
  // Loud and quiet by turns, 0.6 s each: -6 dBFS and -40 dBFS.
  ASSERT_TRUE(qortest::WriteHostAudio(
      File("steps.wav"),
      qortest::Tones({1000.0}, 1.0, 1.2, 2, [](double t) { return t < 0.6 ? 0.5 : 0.01; })));
  const pid_t host = Start({"process", File("steps.wav"), "-", "--realtime", "--loop", "--set",
                            "VAPO3-Process Enable=0"},
                           "host");
  ASSERT_TRUE(WaitForErr(host, "host", kStarted)) << qortest::SlurpLog(ErrOf("host"));

  const fs::path socket = fs::path(root_.Path()) / "tmux.sock";
  struct Server {
    fs::path socket;
    ~Server() { Tmux(socket, "kill-server"); }
  } server{socket};
  const std::string command = std::string("trap '' INT; QOR_ROOT='") + getenv("QOR_ROOT") + "' '" +
                              QOR_HOST_BINARY + "' meter; echo EXIT=$?; printf DONE; sleep 60";
  Tmux(socket,
       "-f /dev/null new-session -d -s meter -x 100 -y 12 \"sh -c \\\"" + command + "\\\"\"");
  // The input's figure, read from the pane a number of times: both levels show.
  bool loud = false, quiet = false;
  std::string screen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!(loud && quiet) && std::chrono::steady_clock::now() < deadline) {
    screen = Tmux(socket, "capture-pane -p -t meter");
    std::smatch match;
    if (std::regex_search(screen, match, std::regex("input  1 \\[[#.]+\\] +(-?[0-9.]+) dBFS"))) {
      const double db = std::stod(match[1]);
      const size_t filled = std::count(screen.begin(), screen.end(), '#');
      loud = loud || (std::fabs(db - Db(0.5)) < 0.3 && filled > 0);
      quiet = quiet || std::fabs(db - -40.0) < 0.3;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_TRUE(loud) << screen;
  EXPECT_TRUE(quiet) << screen;
  EXPECT_NE(screen.find("output 1 ["), std::string::npos) << screen;
  // The cursor is hidden while live.
  EXPECT_EQ(Tmux(socket, "display-message -p -t meter '#{cursor_flag}'"), "0\n");

  Tmux(socket, "send-keys -t meter C-c");
  std::string ended;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ended.find("DONE") == std::string::npos && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ended = Tmux(socket, "capture-pane -p -e -t meter");
  }
  // The meter ended by itself (0), its last line was ended (EXIT starts a line), the shell's text
  // after it carries no colour, and the cursor is back (asked while the shell still runs: tmux
  // hides the cursor of a pane whose program has ended).
  EXPECT_TRUE(std::regex_search(ended, std::regex("(^|\n)EXIT=0\nDONE"))) << ended;
  EXPECT_EQ(Tmux(socket, "display-message -p -t meter '#{cursor_flag}'"), "1\n");
  Interrupt(host, "host");
}

}  // namespace
