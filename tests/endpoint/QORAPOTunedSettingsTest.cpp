#include "endpoint/QORAPOTunedSettings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/IQORNamedMutex.h"
#include "platform/IQORSharedMemory.h"
#include "platform/QORComPtr.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORMMDevice.h"
#include "platform/posix/QORNamedObject.h"
#include "settings/QORPropertySetSharedMem.h"
#include "settings/QORSharedMemory.h"

namespace {

using Shm = QORPropertySetSharedMem;

constexpr GUID kEndpoint = {
    0x5C3B2A19, 0x7D6E, 0x4F80, {0x91, 0xA2, 0xB3, 0xC4, 0xD5, 0xE6, 0xF7, 0x08}};
const std::wstring kMusicBlock =
    L"Global\\{5C3B2A19-7D6E-4F80-91A2-B3C4D5E6F708}ApoOpMode:Music/Speakers";

// Music on speakers: public Gain -3 and Bass 2, private Gain -1 (wins) and Secret on.
QORAPOOperatingMode MakeMode(const std::string& name) {
  QORAPOOperatingMode mode;
  mode.GetModeIdentity() = QORAPOModeIdentity(name, "Speakers");
  mode.GetPublicControls().Set(QORUTSValue("Gain", "-3"));
  mode.GetPublicControls().Set(QORUTSValue("Bass", boost::any(2L)));
  mode.GetPrivateControls().Set(QORUTSValue("Gain", "-1"));
  mode.GetPrivateControls().Set(QORUTSValue("Secret", "on"));
  return mode;
}

// The endpoint record as every process builds it from the endpoint store of the state root.
bool MakeEndpoint(QORAPOEndpointInfo& info) {
  QORComPtr<IMMDevice> device;
  return SUCCEEDED(QORMMDevice::Create(eRender, kEndpoint, device.Put())) &&
         info.Init(device.Get(), true);
}

std::string Text(const QORUTSValueList& list, const char* name) {
  const QORUTSValue* value = list.Find(name);
  return value == nullptr ? "<missing>" : value->GetValueText();
}

uint32_t StoredLength(const std::wstring& name) {
  auto raw = QOROpenSharedMemory(name, 4);
  if (!raw) return 0xFFFFFFFF;
  uint32_t length = 0;
  std::memcpy(&length, raw->Data(), 4);
  return length;
}

// A tuning tool: opens the music block that must already exist and writes the given controls
// (name=text pairs), the last one of them "VAPO3-Tuning Mode".
int TunerChild(const std::vector<std::string>& args) {
  QORAPOEndpointInfo info;
  if (!MakeEndpoint(info)) return 1;
  QORAPOTunedSettings tuned;
  if (!tuned.Open(info, MakeMode("Music"), true)) return 2;
  QORUTSValueList controls;
  for (const std::string& pair : args) {
    const size_t equals = pair.find('=');
    controls.Set(QORUTSValue(pair.substr(0, equals), pair.substr(equals + 1).c_str()));
  }
  if (!tuned.WriteControls(controls)) return 3;
  qortest::ChildSay("written");
  return 0;
}
qortest::ChildRegistration tuner("tuned-writer", &TunerChild);

class QORAPOTunedSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(
        SUCCEEDED(QOREndpointStore::Add(eRender, kEndpoint, L"Speakers", DEVICE_STATE_ACTIVE)));
    ASSERT_TRUE(MakeEndpoint(info_));
  }

  qortest::TempStateRoot root_;
  QORAPOEndpointInfo info_;
  QORAPOOperatingMode music_ = MakeMode("Music");
  QORAPOTunedSettings tuned_;
};

TEST_F(QORAPOTunedSettingsTest, OpenHoldsTheModesControlsWhileTheNewBlockStaysEmpty) {
  EXPECT_EQ(QORAPOTunedSettings::BlockName(info_, music_.GetModeIdentity()), kMusicBlock);
  EXPECT_FALSE(tuned_.IsOpen());
  ASSERT_TRUE(tuned_.Open(info_, music_, false));
  EXPECT_TRUE(tuned_.IsOpen());
  EXPECT_NE(QOROpenSharedMemory(kMusicBlock, Shm::kDefaultSize), nullptr);
  EXPECT_EQ(QOROpenSharedMemory(kMusicBlock, Shm::kDefaultSize + 1), nullptr);
  EXPECT_NE(QOROpenNamedMutex(kMusicBlock + L"_MuteX"), nullptr);
  EXPECT_EQ(StoredLength(kMusicBlock), 0u);

  QORUTSValueList out;
  out.Set(QORUTSValue("Stale", "1"));
  EXPECT_TRUE(tuned_.ReadControls(out, true));
  EXPECT_EQ(out.Size(), 4u);
  EXPECT_EQ(Text(out, "Gain"), "-1");
  EXPECT_EQ(Text(out, "Bass"), "2");
  EXPECT_EQ(Text(out, "Secret"), "on");
  EXPECT_EQ(Text(out, "VAPO3-Tuning Mode"), "0");
  EXPECT_NE(boost::any_cast<long>(&out.Find("VAPO3-Tuning Mode")->GetValue()), nullptr);
  EXPECT_EQ(tuned_.GetTuningMode(), 0);
  EXPECT_EQ(StoredLength(kMusicBlock), 0u);
}

TEST_F(QORAPOTunedSettingsTest, RequireExistingRefusesAnUnheldBlockAndChangesNothing) {
  QORAPOTunedSettings fresh;
  EXPECT_FALSE(fresh.Open(info_, music_, true));
  EXPECT_FALSE(fresh.IsOpen());
  EXPECT_FALSE(SharedMemoryExists(kMusicBlock));

  ASSERT_TRUE(tuned_.Open(info_, music_, false));
  ASSERT_TRUE(tuned_.WriteControl(QORUTSValue("Gain", "-9")));
  QORAPOOperatingMode movie = MakeMode("Movie");
  movie.GetPublicControls().Set(QORUTSValue("Dialog", "5"));
  EXPECT_FALSE(tuned_.Open(info_, movie, true));
  EXPECT_TRUE(tuned_.IsOpen());
  QORUTSValueList out;
  EXPECT_TRUE(tuned_.ReadControls(out, true));
  EXPECT_EQ(Text(out, "Gain"), "-9");
  EXPECT_EQ(Text(out, "Dialog"), "<missing>");

  // Opening another mode lets go of the first block.
  ASSERT_TRUE(tuned_.Open(info_, movie, false));
  EXPECT_FALSE(SharedMemoryExists(kMusicBlock));
  EXPECT_TRUE(tuned_.ReadControls(out, true));
  EXPECT_EQ(Text(out, "Dialog"), "5");
  EXPECT_EQ(Text(out, "Gain"), "-1");
}

TEST_F(QORAPOTunedSettingsTest, WriteControlTakesKnownNamesOnlyWriteControlsAddsThem) {
  ASSERT_TRUE(tuned_.Open(info_, music_, false));
  QORAPOTunedSettings reader;
  ASSERT_TRUE(reader.Open(info_, music_, true));

  EXPECT_FALSE(tuned_.WriteControl(QORUTSValue("Treble", "4")));
  EXPECT_EQ(StoredLength(kMusicBlock), 0u);
  EXPECT_TRUE(tuned_.WriteControl(QORUTSValue("Bass", boost::any(7L))));
  EXPECT_GT(StoredLength(kMusicBlock), 0u);
  QORUTSValueList out;
  EXPECT_TRUE(reader.ReadControls(out, true));
  EXPECT_EQ(Text(out, "Bass"), "7");
  EXPECT_EQ(Text(out, "Treble"), "<missing>");

  QORUTSValueList more;
  more.Set(QORUTSValue("Treble", "4"));
  EXPECT_TRUE(tuned_.WriteControls(more));
  // Into a list that is not empty only its own names are carried.
  QORUTSValueList mine;
  mine.Set(QORUTSValue("Treble", "0"));
  mine.Set(QORUTSValue("Unknown", "x"));
  EXPECT_TRUE(reader.ReadControls(mine, false));
  EXPECT_EQ(mine.Size(), 2u);
  EXPECT_EQ(Text(mine, "Treble"), "4");
  EXPECT_EQ(Text(mine, "Unknown"), "x");
}

TEST_F(QORAPOTunedSettingsTest, TuningModeReadsTextAndWholeNumbersOnly) {
  ASSERT_TRUE(tuned_.Open(info_, music_, false));
  // A tool writing straight into the block, with value types of its choosing.
  QORPropertySet tool;
  Shm block;
  block.AttachPropertySet(&tool);
  ASSERT_TRUE(block.Open(kMusicBlock, 0));
  const std::wstring key = L"VAPO3-Tuning Mode";
  tool.SetProperty(key, "1");
  ASSERT_EQ(block.Save(), Shm::kOk);
  EXPECT_EQ(tuned_.GetTuningMode(), 1);
  tool.SetProperty(key, 2L);
  ASSERT_EQ(block.Save(), Shm::kOk);
  EXPECT_EQ(tuned_.GetTuningMode(), 2);
  tool.SetProperty(key, L"-3");
  ASSERT_EQ(block.Save(), Shm::kOk);
  EXPECT_EQ(tuned_.GetTuningMode(), -3);
  tool.SetProperty(key, 1.5);
  ASSERT_EQ(block.Save(), Shm::kOk);
  EXPECT_EQ(tuned_.GetTuningMode(), 0);
  tool.SetProperty(key, "on");
  ASSERT_EQ(block.Save(), Shm::kOk);
  EXPECT_EQ(tuned_.GetTuningMode(), 0);

  // A double has no control form: it is left out of the controls.
  QORUTSValueList out;
  EXPECT_TRUE(tuned_.ReadControls(out, true));
  EXPECT_EQ(Text(out, "VAPO3-Tuning Mode"), "on");
  tool.SetProperty(key, 1.5);
  ASSERT_EQ(block.Save(), Shm::kOk);
  EXPECT_TRUE(tuned_.ReadControls(out, true));
  EXPECT_EQ(Text(out, "VAPO3-Tuning Mode"), "<missing>");
  EXPECT_EQ(Text(out, "Gain"), "-1");
}

TEST_F(QORAPOTunedSettingsTest, ClearEmptiesSetAndBlock) {
  ASSERT_TRUE(tuned_.Open(info_, music_, false));
  ASSERT_TRUE(tuned_.WriteControl(QORUTSValue("Gain", "-9")));
  ASSERT_GT(StoredLength(kMusicBlock), 0u);
  EXPECT_EQ(tuned_.Clear(), Shm::kOk);
  EXPECT_EQ(StoredLength(kMusicBlock), 0u);
  QORUTSValueList out;
  EXPECT_TRUE(tuned_.ReadControls(out, true));
  EXPECT_TRUE(out.Empty());
  EXPECT_EQ(tuned_.GetTuningMode(), 0);
  EXPECT_TRUE(tuned_.Close());
  EXPECT_FALSE(tuned_.IsOpen());
  EXPECT_EQ(tuned_.Clear(), Shm::kNoView);
  EXPECT_FALSE(tuned_.ReadControls(out, true));
}

TEST_F(QORAPOTunedSettingsTest, ControlsWrittenByAnotherProcessAreRead) {
  ASSERT_TRUE(tuned_.Open(info_, music_, false));
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("tuned-writer", {"Gain=-12", "Extra=7", "VAPO3-Tuning Mode=1"}));
  ASSERT_TRUE(child.WaitFor("written"));
  ASSERT_EQ(child.Wait(), 0);

  QORUTSValueList out;
  EXPECT_TRUE(tuned_.ReadControls(out, true));
  EXPECT_EQ(Text(out, "Gain"), "-12");
  EXPECT_EQ(Text(out, "Extra"), "7");
  EXPECT_EQ(Text(out, "Bass"), "2");
  EXPECT_EQ(Text(out, "VAPO3-Tuning Mode"), "1");
  EXPECT_EQ(tuned_.GetTuningMode(), 1);
}

TEST_F(QORAPOTunedSettingsTest, BlockFilesAreGroupOnlyAndLinksAreNotFollowed) {
  const std::filesystem::path dir = std::filesystem::path(root_.Path()) / "NamedObjects";
  const std::filesystem::path victim = std::filesystem::path(root_.Path()) / "victim";
  std::ofstream(victim) << "keep";
  QORAPOOperatingMode movie = MakeMode("Movie");
  const std::wstring movieBlock = QORAPOTunedSettings::BlockName(info_, movie.GetModeIdentity());
  std::filesystem::create_directories(dir);
  std::filesystem::create_symlink(victim, dir / QORNamedObject::FileNameFor("shm", movieBlock));
  EXPECT_FALSE(tuned_.Open(info_, movie, false));

  ASSERT_TRUE(tuned_.Open(info_, music_, false));
  ASSERT_TRUE(tuned_.WriteControl(QORUTSValue("Gain", "-9")));
  struct stat info {};
  ASSERT_EQ(::stat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0770u);
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    ASSERT_EQ(::lstat(entry.path().c_str(), &info), 0);
    if (S_ISLNK(info.st_mode)) continue;  // the planted link
    EXPECT_EQ(info.st_mode & 07777, 0660u) << entry.path();
    ++files;
  }
  EXPECT_GE(files, 2);  // block and mutex
  EXPECT_EQ(std::filesystem::file_size(victim), 4u);
}

}  // namespace
