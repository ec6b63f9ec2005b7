// End-to-end: a tuning session that ends gives a running host back its public values.
#include <regex>

#include "QORHostRunner.h"

namespace {

using qortest::HostAudio;
using qortest::HostResult;

using qortest::kAmplitude;
using qortest::kRate;
using qortest::kTone;
using qortest::LevelDb;

class HostTuningEndTest : public qortest::HostToolTest {
 protected:
  const char* Configuration() const override { return qortest::kEqConfiguration.c_str(); }
};

// The configuration lifts 1 kHz by 6 dB; a tuning session cuts it by 6 dB under tuning mode 2.
// A host already playing joins the session when the mode is selected again, and once the
// session's holder has gone, tuning mode 0 brings the lift back. Each lands within its bound: a
// rebuild spaced 100 ms from the last, the latency and a 30 ms crossfade, plus the worker's 200 ms
// poll for a tuned value.
TEST_F(HostTuningEndTest, AHostPlayingBeforeTheSessionJoinsItAndHearsItsEnd) {
  // The tone plays until the tools are done and the end has been heard for a second.
  qortest::ToneStream tone(File("tone.fifo"), kTone, kAmplitude);
  const pid_t host =
      Start({"process", tone.Path(), File("live.wav"), "--realtime", "--json"}, "host");
  ASSERT_TRUE(host != 0 && WaitForErr(host, "host", "real-time stream started"))
      << qortest::SlurpLog(ErrOf("host"));
  std::smatch match;
  const std::string err = qortest::SlurpLog(ErrOf("host"));
  ASSERT_TRUE(std::regex_search(err, match, std::regex("monotonic ([0-9.]+) s"))) << err;
  const double start = std::stod(match[1]);

  // The tuning tool opens while the host plays, after a stretch of the untuned sound; a control
  // panel's write makes the host rebuild.
  std::this_thread::sleep_for(std::chrono::duration<double>(start + 0.6 - qortest::MonotonicNow()));
  const double opened = qortest::MonotonicNow() - start;
  const pid_t hold = StartBackground({"tune", "hold", "--mode", "Music/Speakers"}, "hold");
  ASSERT_NE(hold, 0) << qortest::SlurpLog(ErrOf("hold"));
  EXPECT_EQ(Run({"tune", "set", "ZR3D-GEQ Band 6", "-600"}, "tool").code, 0);
  EXPECT_EQ(Run({"tune", "mode", "2"}, "tool").code, 0);
  EXPECT_EQ(Run({"control", "set", "ZR3D-GEQ Enable", "1"}, "tool").code, 0);
  const double selected = qortest::MonotonicNow() - start;

  // The tool closes, then tuning mode 0 is written into the block the host still holds.
  std::this_thread::sleep_for(
      std::chrono::duration<double>(start + selected + 1.0 - qortest::MonotonicNow()));
  EXPECT_EQ(Stop(hold), 0);
  const double before = qortest::MonotonicNow() - start;
  const HostResult mode = Run({"tune", "mode", "0"}, "tool");
  const double after = qortest::MonotonicNow() - start;
  EXPECT_EQ(mode.code, 0) << mode.err;
  // The chain's latency is a few milliseconds; a whole second of the end is measured.
  const double last = after + 0.200 + 0.100 + 0.050 + 0.030 + 1.0;
  tone.End(last + 0.1);

  const HostResult finished = Wait(host, "host");
  ASSERT_EQ(finished.code, 0) << finished.err;
  const double latency =
      static_cast<double>(finished.Json()["output"]["latency_frames"].get<int64_t>()) / kRate;
  ASSERT_LT(latency, 0.050);
  const HostAudio live = qortest::ReadHostAudio(File("live.wav"));
  ASSERT_GT(live.Frames(), static_cast<size_t>(last * kRate));
  const double joined = selected + 0.100 + latency + 0.030;
  const double ended = after + 0.200 + 0.100 + latency + 0.030;
  EXPECT_NEAR(LevelDb(live, 0.2, opened), 6.0, 0.5);
  EXPECT_NEAR(LevelDb(live, joined + 0.05, before), -6.0, 0.5)
      << "panel write done by " << selected << " s, tool closed at " << before << " s";
  EXPECT_NEAR(LevelDb(live, ended + 0.05, last), 6.0, 0.5)
      << "tuning mode 0 written between " << before << " s and " << after << " s";
}

}  // namespace
