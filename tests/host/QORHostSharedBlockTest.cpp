// End-to-end: the shared blocks of running hosts: cut short by another process, and kept apart
// between endpoints.
#include <unistd.h>

#include "QORHostRunner.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using qortest::HostResult;

using qortest::kStarted;

class HostSharedBlockTest : public qortest::HostToolTest {
 protected:
  // The files of the state root's shared blocks whose names contain part.
  std::vector<fs::path> Blocks(const std::string& part) const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(root_.Path() + "/state/NamedObjects")) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with("shm.") && name.find(part) != std::string::npos &&
          !name.ends_with(".aux")) {
        found.push_back(entry.path());
      }
    }
    return found;
  }

  bool Running(pid_t pid) {
    if (exited_.contains(pid)) return false;
    const std::optional<int> code = qortest::HostProcess::Wait(pid, 0);
    if (!code) return true;
    exited_[pid] = *code;
    return false;
  }

  static size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
      ++count;
    }
    return count;
  }
};

// Another member of the state root's group cuts both meter blocks and the tuned block to nothing
// while a real-time host plays and a live meter and a tuning session hold them: the host plays
// its file to the end and writes it, saying once per block that it is gone; the meter, the tuning
// session and a later `tune get` say so too and end cleanly.
TEST_F(HostSharedBlockTest, BlocksCutShortUnderARunningHostLeaveItPlayingAndTheReadersTellingSo) {
  const pid_t hold = StartBackground({"tune", "hold", "--json"}, "hold");
  ASSERT_NE(hold, 0) << qortest::SlurpFile(ErrOf("hold"));
  constexpr double kSeconds = 6.0;
  const qortest::HostAudio tone = qortest::Tones({1000.0}, 0.5, kSeconds);
  ASSERT_TRUE(qortest::WriteHostAudio(File("tone.wav"), tone));
  const std::string trace = (fs::path(logs_) / "host.trace").string();
  setenv("QOR_TRACE", trace.c_str(), 1);
  const pid_t host = Start({"process", File("tone.wav"), File("out.wav"), "--realtime", "--set",
                            "VAPO3-Process Enable=0"},
                           "host");
  setenv("QOR_TRACE", "off", 1);
  ASSERT_TRUE(WaitForErr(host, "host", kStarted)) << qortest::SlurpFile(ErrOf("host"));
  const pid_t meter = Start({"meter", "--json", "--interval-ms", "20"}, "meter");
  ASSERT_TRUE(WaitForErr(meter, "meter", "\"read\":true", std::chrono::seconds(30), true))
      << qortest::SlurpFile(ErrOf("meter"));

  const std::vector<fs::path> meters = Blocks("_Meter_");
  const std::vector<fs::path> tuned = Blocks("ApoOpMode");
  ASSERT_EQ(meters.size(), 2u);
  ASSERT_EQ(tuned.size(), 1u);
  for (const fs::path& block : {meters[0], meters[1], tuned[0]}) {
    ASSERT_EQ(::truncate(block.c_str(), 0), 0) << block;
  }
  ASSERT_TRUE(Running(host)) << "the file ended before the blocks were cut";

  ASSERT_TRUE(WaitForErr(meter, "meter",
                         "output meter block of endpoint 'QOR Demo Speakers' is "
                         "gone: another process cut it short"))
      << qortest::SlurpFile(ErrOf("meter"));
  // Its reading says so on standard output, which may be written a moment after the message.
  EXPECT_TRUE(WaitForErr(meter, "meter", "\"lost\":true", std::chrono::seconds(30), true))
      << qortest::SlurpFile(OutOf("meter"));
  const HostResult played = Wait(host, "host");
  EXPECT_EQ(played.code, 0) << played.err;
  const qortest::HostAudio out = qortest::ReadHostAudio(File("out.wav"));
  ASSERT_GE(out.Frames(), tone.Frames());
  // The last second, played long after the cut, is the tone as it went in.
  EXPECT_NEAR(qortest::ToneLevel(out, 1000.0, tone.Frames() - 48000, tone.Frames()), 0.5, 0.01);
  const std::string lines = qortest::SlurpFile(trace);
  for (const char* block : {"_Meter_0", "_Meter_1"}) {
    EXPECT_EQ(Count(lines, std::string(block) + ": another process cut the shared block short"), 1u)
        << block << "\n"
        << lines;
  }
  EXPECT_EQ(Count(lines,
                  "ApoOpMode:VAPO3-Music/VAPO3-Speakers: another process cut the shared "
                  "block short"),
            1u)
      << lines;

  ASSERT_TRUE(Running(meter));
  kill(meter, SIGINT);
  const HostResult metered = Wait(meter, "meter");
  EXPECT_EQ(metered.code, 0) << metered.err;
  EXPECT_EQ(Count(metered.err, "meter block of endpoint"), 2u) << metered.err;

  // Held by the tuning session still, the tuned block is gone for a reader too.
  const HostResult got = Run({"tune", "get", "--json"});
  EXPECT_EQ(got.code, 0) << got.err;
  qortest::ExpectFields(got.Json(), {{"held", false}, {"lost", true}});
  EXPECT_NE(got.err.find("the tuned block of mode Music/Speakers of 'QOR Demo Speakers' is gone"),
            std::string::npos)
      << got.err;
  ASSERT_TRUE(Running(hold));
  std::erase(background_, hold);
  kill(hold, SIGTERM);
  const HostResult held = Wait(hold, "hold");
  EXPECT_EQ(held.code, 0) << held.err;
  EXPECT_NE(held.err.find("is gone: another process cut it short"), std::string::npos) << held.err;
}

// Two endpoints added with `endpoint add`, each played by its own real-time host, one silence
// and one a -6 dBFS tone: each endpoint's meter reads its own host.
TEST_F(HostSharedBlockTest, TwoAddedEndpointsPlayedAtOnceAreMeteredApart) {
  struct Endpoint {
    const char* name;
    double amplitude;
  };
  const Endpoint endpoints[] = {{"Desk Speakers", 0.0}, {"Speakers (USB Audio Device)", 0.5}};
  std::vector<pid_t> hosts;
  for (const Endpoint& endpoint : endpoints) {
    const HostResult added = Run({"endpoint", "add", endpoint.name, "--config", Example(), "--fx",
                                  "SFX", "--fx", "MFX", "--fx", "EFX"});
    ASSERT_EQ(added.code, 0) << added.err;
    const std::string input = File(std::string(endpoint.name) + ".wav");
    ASSERT_TRUE(qortest::WriteHostAudio(input, qortest::Tones({1000.0}, endpoint.amplitude, 1.0)));
    const pid_t host = Start({"process", input, "-", "--realtime", "--loop", "--endpoint",
                              endpoint.name, "--set", "VAPO3-Process Enable=0"},
                             endpoint.name);
    background_.push_back(host);
    ASSERT_TRUE(WaitForErr(host, endpoint.name, kStarted))
        << qortest::SlurpFile(ErrOf(endpoint.name));
    hosts.push_back(host);
  }
  EXPECT_EQ(Blocks("_Meter_").size(), 4u);
  for (const Endpoint& endpoint : endpoints) {
    SCOPED_TRACE(endpoint.name);
    const HostResult reading =
        Run({"meter", "--once", "--json", "--interval-ms", "200", "--endpoint", endpoint.name});
    ASSERT_EQ(reading.code, 0) << reading.err;
    const json meters = reading.Json();
    EXPECT_EQ(meters["endpoint"]["name"], endpoint.name);
    for (const char* meter : {"input", "output"}) {
      for (int channel = 0; channel < 2; ++channel) {
        EXPECT_NEAR(meters[meter]["peaks"][channel].get<double>(), endpoint.amplitude, 0.01)
            << meter << " " << channel;
      }
    }
  }
  for (const pid_t host : hosts) EXPECT_EQ(Stop(host), 0);
}

}  // namespace
