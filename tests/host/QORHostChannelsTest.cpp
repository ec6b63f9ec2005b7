// End-to-end: every mode of the example configuration plays every output channel.
#include "QORHostRunner.h"

namespace {

using qortest::HostAudio;
using qortest::HostResult;

using qortest::kRate;

// Root mean square of one channel over frames [begin, end).
double Rms(const HostAudio& audio, int channel, size_t begin, size_t end) {
  end = std::min(end, audio.Frames());
  double sum = 0.0;
  for (size_t n = begin; n < end; ++n) {
    const double sample = audio.samples[n * audio.channels + channel];
    sum += sample * sample;
  }
  return end > begin ? std::sqrt(sum / static_cast<double>(end - begin)) : 0.0;
}

class HostChannelsTest : public qortest::HostToolTest {};

// Equal tones in both channels through SFX, MFX and EFX of each mode and speaker type: no mode of
// the example asks for an unequal image, so each channel stays within 3 dB of the other.
TEST_F(HostChannelsTest, EveryModeOfTheExampleGivesEachOutputChannelItsShare) {
  ASSERT_TRUE(
      qortest::WriteHostAudio(File("tones.wav"), qortest::Tones({500.0, 2000.0}, 0.1, 1.5)));
  for (const char* mode : {"Music", "Movie", "Voice"}) {
    for (const char* speaker : {"Speakers", "Headphones"}) {
      SCOPED_TRACE(testing::Message() << mode << "/" << speaker);
      const HostResult run = Run({"process", File("tones.wav"), File("out.wav"), "--mode", mode,
                                  "--speaker", speaker, "--json"});
      ASSERT_EQ(run.code, 0) << run.err;
      EXPECT_EQ(run.Json()["mode"], std::string(mode) + "/" + speaker);
      const HostAudio out = qortest::ReadHostAudio(File("out.wav"));
      ASSERT_EQ(out.channels, 2);
      // Past the chains' settling, before the tail.
      const double left = Rms(out, 0, kRate / 2, 3 * kRate / 2);
      const double right = Rms(out, 1, kRate / 2, 3 * kRate / 2);
      ASSERT_GT(left + right, 0.0);
      EXPECT_LE(std::fabs(qortest::Db((left + 1e-12) / (right + 1e-12))), 3.0)
          << "left " << left << ", right " << right;
    }
  }
}

}  // namespace
