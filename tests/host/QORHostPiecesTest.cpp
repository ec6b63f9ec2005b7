// The shell's output file and schedule, without the module.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>
#include <vector>

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

}  // namespace
