// The shell's output file and schedule, without the module.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>
#include <vector>

#include "QORHostAudioReader.h"
#include "QORHostAudioWriter.h"
#include "QORHostSchedule.h"
#include "TempStateRoot.h"

namespace {

namespace fs = std::filesystem;

size_t Entries(const fs::path& folder) {
  return static_cast<size_t>(
      std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(QORHostAudioWriterTest, TheExtensionNamesTheFormatAndTheInputsEncodingStaysWhereItFits) {
  const int wavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  EXPECT_EQ(QORHostAudioWriter::FormatFor("a.wav", 2, 48000, wavFloat), wavFloat);
  EXPECT_EQ(QORHostAudioWriter::FormatFor("a.WAV", 2, 48000, 0), wavFloat);
  EXPECT_EQ(QORHostAudioWriter::FormatFor("a.wav", 2, 48000, SF_FORMAT_FLAC | SF_FORMAT_PCM_16),
            SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  // FLAC holds no float: its usual 24 bits.
  EXPECT_EQ(QORHostAudioWriter::FormatFor("a.flac", 2, 48000, wavFloat),
            SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
  EXPECT_EQ(QORHostAudioWriter::FormatFor("a.ogg", 2, 48000, wavFloat),
            SF_FORMAT_OGG | SF_FORMAT_VORBIS);
  EXPECT_EQ(QORHostAudioWriter::FormatFor("a.aif", 6, 44100, 0), SF_FORMAT_AIFF | SF_FORMAT_FLOAT);
  EXPECT_EQ(QORHostAudioWriter::FormatFor("a.xyz", 2, 48000, wavFloat), 0);
  EXPECT_EQ(QORHostAudioWriter::FormatFor("noextension", 2, 48000, wavFloat), 0);
}

TEST(QORHostAudioWriterTest, OnlyACommittedFileTakesTheTargetName) {
  qortest::TempStateRoot root;
  const fs::path folder = fs::path(root.Path()) / "out";
  fs::create_directories(folder);
  const std::vector<float> samples(2 * 480, 0.25f);
  std::string error;
  {
    QORHostAudioWriter writer;
    ASSERT_TRUE(writer.Open((folder / "a.wav").string(), 2, 48000, 0, &error)) << error;
    ASSERT_TRUE(writer.Write(samples.data(), 480, &error));
    EXPECT_EQ(Entries(folder), 1u);  // the temporary file beside the target
    EXPECT_FALSE(fs::exists(folder / "a.wav"));
  }  // destroyed without Commit, as on an error or an interruption
  EXPECT_EQ(Entries(folder), 0u);
  QORHostAudioWriter writer;
  ASSERT_TRUE(writer.Open((folder / "a.wav").string(), 2, 48000, 0, &error));
  ASSERT_TRUE(writer.Write(samples.data(), 480, &error));
  ASSERT_TRUE(writer.Commit(&error)) << error;
  EXPECT_EQ(Entries(folder), 1u);
  SF_INFO info{};
  SNDFILE* file = sf_open((folder / "a.wav").c_str(), SFM_READ, &info);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(info.frames, 480);
  sf_close(file);

  EXPECT_FALSE(writer.Open((folder / "missing" / "a.wav").string(), 2, 48000, 0, &error));
  EXPECT_NE(error.find("check that the folder exists"), std::string::npos) << error;
  EXPECT_FALSE(writer.Open((folder / "a.mp9").string(), 2, 48000, 0, &error));
  EXPECT_NE(error.find(".wav, .flac, .ogg"), std::string::npos) << error;
  EXPECT_EQ(Entries(folder), 1u);
}

TEST(QORHostScheduleTest, ChangesParseAndLandOnTheNearestFrameInFileOrder) {
  QORHostSchedule schedule;
  std::string error;
  EXPECT_TRUE(schedule.Add("2.5:mode=Movie", &error));
  EXPECT_TRUE(schedule.Add("0.5:VAPO3-Process Enable=0", &error));
  EXPECT_TRUE(schedule.Add("2.5:ZR3D-GEQ Enable=a=b", &error));
  EXPECT_TRUE(schedule.Add("0.0000104:speaker=Headphones", &error));
  for (const char* bad : {"mode=Movie", "x:mode=Movie", "-1:mode=Movie", "1s:mode=Movie", "1:mode",
                          "1:=Movie", "inf:mode=Movie"}) {
    EXPECT_FALSE(schedule.Add(bad, &error)) << bad;
  }
  schedule.Place(48000);
  const auto& changes = schedule.Changes();
  ASSERT_EQ(changes.size(), 4u);
  EXPECT_EQ(changes[0].frame, 0);  // 0.4992 frames
  EXPECT_EQ(changes[0].name, "speaker");
  EXPECT_EQ(changes[1].frame, 24000);
  EXPECT_EQ(changes[1].name, "VAPO3-Process Enable");
  EXPECT_EQ(changes[1].value, "0");
  // Equal positions keep the order given.
  EXPECT_EQ(changes[2].name, "mode");
  EXPECT_EQ(changes[3].name, "ZR3D-GEQ Enable");
  EXPECT_EQ(changes[3].value, "a=b");
  EXPECT_EQ(changes[3].frame, 120000);
}

// Both ends gather samples into large pieces. Whatever the lengths of the calls, short ones that
// fill a piece and cross into the next, one longer than a piece while another is half full, the
// file holds every sample in order, and reading gives them back with a short count only at the
// end. Three channels, so a piece is not a whole power of two of frames.
TEST(QORHostAudioFileTest, CallsOfAnyLengthWriteAndReadEverySampleInOrder) {
  qortest::TempStateRoot root;
  const std::string path = (fs::path(root.Path()) / "pieces.wav").string();
  constexpr int kChannels = 3;
  // Exact in float: whole numbers times a power of two.
  const auto value = [](int64_t frame, int channel) {
    return static_cast<float>(frame * kChannels + channel) / 524288.0f;
  };
  std::vector<int64_t> writes(3000, 7);
  writes.insert(writes.end(), {40000, 1, 70000, 13});
  int64_t total = 0;
  std::string error;
  {
    QORHostAudioWriter writer;
    ASSERT_TRUE(writer.Open(path, kChannels, 48000, 0, &error)) << error;
    for (const int64_t frames : writes) {
      std::vector<float> samples(static_cast<size_t>(frames) * kChannels);
      for (int64_t f = 0; f < frames; ++f) {
        for (int c = 0; c < kChannels; ++c) samples[f * kChannels + c] = value(total + f, c);
      }
      ASSERT_TRUE(writer.Write(samples.data(), frames, &error)) << error;
      total += frames;
    }
    ASSERT_TRUE(writer.Commit(&error)) << error;
  }

  QORHostAudioReader reader;
  ASSERT_TRUE(reader.Open(path, &error)) << error;
  ASSERT_EQ(reader.Channels(), kChannels);
  ASSERT_EQ(reader.Frames(), total);
  int64_t position = 0;
  int64_t mismatches = 0;
  const int64_t reads[] = {480, 1, 100000, 479};
  for (size_t i = 0; position < total; ++i) {
    const int64_t asked = reads[i % 4];
    std::vector<float> samples(static_cast<size_t>(asked) * kChannels, -1.0f);
    const int64_t got = reader.Read(samples.data(), asked);
    ASSERT_EQ(got, std::min(asked, total - position)) << "at frame " << position;
    for (int64_t f = 0; f < got; ++f) {
      for (int c = 0; c < kChannels; ++c) {
        mismatches += samples[f * kChannels + c] != value(position + f, c);
      }
    }
    position += got;
  }
  EXPECT_EQ(mismatches, 0);
  float sample = 0.0f;
  EXPECT_EQ(reader.Read(&sample, 1), 0);
  EXPECT_EQ(reader.Read(&sample, 1), 0);
}

}  // namespace
