#include "endpoint/QORAPOPublicSettings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "endpoint/QORAPOEndpointTools.h"
#include "endpoint/QORAPOGlobalSettings.h"
#include "endpoint/QORAPOModeSelector.h"
#include "endpoint/QORAPOPublicSettingsReader.h"
#include "endpoint/QORAPOTunedSettings.h"
#include "platform/IQOREvent.h"
#include "platform/IQORSharedMemory.h"
#include "platform/QORComPtr.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORMMDevice.h"
#include "platform/QORPropVariant.h"
#include "platform/QORRegistryKey.h"
#include "platform/QORWait.h"
#include "platform/posix/QORNamedObject.h"
#include "settings/QORAPOOperatingMode.h"
#include "settings/QORPropertySet.h"
#include "settings/QORPropertySetSharedMem.h"
#include "settings/QORSharedMemory.h"

// Settings kept under an endpoint's registry key and in its shared blocks, and the endpoint tools.
namespace {

constexpr GUID kEndpoint = {
    0x5C3B2A19, 0x7D6E, 0x4F80, {0x91, 0xA2, 0xB3, 0xC4, 0xD5, 0xE6, 0xF7, 0x08}};

// The endpoint record, as a host process builds it; add puts the endpoint into the store first
// (a child process finds it there).
bool MakeEndpoint(QORAPOEndpointInfo& info, bool add, const GUID& id = kEndpoint) {
  if (add && FAILED(QOREndpointStore::Add(eRender, id, L"Speakers", DEVICE_STATE_ACTIVE)))
    return false;
  QORComPtr<IMMDevice> device;
  return SUCCEEDED(QORMMDevice::Create(eRender, id, device.Put())) && info.Init(device.Get(), true);
}

// A mode with two public controls and one private one.
QORAPOOperatingMode MusicMode() {
  QORAPOOperatingMode mode;
  mode.GetModeIdentity() = QORAPOModeIdentity("VAPO3-Music", "VAPO3-Speakers");
  mode.GetPublicControls().Set(QORUTSValue("VAPO3-Process Enable", "1"));
  mode.GetPublicControls().Set(QORUTSValue("Bass Level", "3"));
  mode.GetPrivateControls().Set(QORUTSValue("Tech Gain", "7"));
  mode.GetControls() = mode.GetPublicControls();
  mode.GetControls().Merge(mode.GetPrivateControls(), QORUTSValueList::kMergeReplaceAndAdd);
  return mode;
}

QORRegistryKey EndpointKey(const QORAPOEndpointInfo& info) {
  QORRegistryKey key;
  QORRegistryKey::Open(QORRegistryHive::kLocalMachine, info.GetRegistrySubkey(), KEY_ALL_ACCESS,
                       key);
  return key;
}

std::string Text(const QORUTSValueList& list, const char* name) {
  const QORUTSValue* control = list.Find(name);
  return control != nullptr ? control->GetValueText() : "(none)";
}

// Steady clock, comparable between processes.
int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// What a listener heard and when; with a gate, its first call waits until the gate opens.
class Heard {
 public:
  explicit Heard(bool gated = false) : open_(!gated) {}
  void Add(const std::string& item) {
    std::unique_lock<std::mutex> lock(mutex_);
    items_.push_back(item);
    times_.push_back(NowUs());
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return open_; });
  }
  // The time of the first item at or after index from (any item when empty), or 0 after 5 s.
  int64_t Wait(size_t from, const std::string& item = "") {
    std::unique_lock<std::mutex> lock(mutex_);
    int64_t when = 0;
    changed_.wait_for(lock, std::chrono::seconds(5), [&] {
      for (size_t i = from; i < items_.size() && when == 0; ++i) {
        if (item.empty() || items_[i] == item) when = times_[i];
      }
      return when != 0;
    });
    return when;
  }
  std::vector<std::string> Items() {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_;
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_;
  std::vector<std::string> items_;
  std::vector<int64_t> times_;
};

class ControlListener : public IQORAPOPublicSettingsNotify, public Heard {
 public:
  void OnPublicSettingChanged(QORAPOPublicSettings&, const QORUTSValue& control) override {
    Add(control.GetName() + "=" + control.GetValueText());
  }
};

class QORAPOPublicSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(MakeEndpoint(info_, true)); }

  void Store(const std::wstring& name, const char* control, const char* text) {
    QORPropertySet set;
    set.SetProperty(QORUtf8ToWide(control), std::string(text));
    set.SetProperty(L"Extra", std::string("9"));
    QORPropertySet::Bytes bytes;
    set.GetAllPropertiesBinary(bytes);
    ASSERT_EQ(EndpointKey(info_).SetBinary(name, bytes), ERROR_SUCCESS);
  }

  qortest::TempStateRoot root_;
  QORAPOEndpointInfo info_;
  QORAPOOperatingMode mode_ = MusicMode();
};

TEST_F(QORAPOPublicSettingsTest, StoredValuesOverrideOnlyDeclaredControls) {
  Store(L"ApoOpMode:VAPO3-Music/VAPO3-Speakers", "VAPO3-Process Enable", "0");
  QORAPOPublicSettings settings;
  ASSERT_TRUE(settings.Init(info_, mode_));
  QORUTSValueList controls;
  ASSERT_TRUE(settings.ReadControls(controls, true));
  EXPECT_EQ(controls.Size(), 2u);
  EXPECT_EQ(Text(controls, "VAPO3-Process Enable"), "0");
  EXPECT_EQ(Text(controls, "Bass Level"), "3");
  EXPECT_FALSE(settings.WriteControl(QORUTSValue("Extra", "6")));

  // An empty text has no stored form: refused, and the writes after it still store.
  EXPECT_FALSE(settings.WriteControl(QORUTSValue("Bass Level", "")));
  ASSERT_TRUE(settings.WriteControl(QORUTSValue("Bass Level", boost::any(5L))));
  QORUTSValueList many;
  many.Set(QORUTSValue("VAPO3-Process Enable", ""));
  many.Set(QORUTSValue("Treble Level", "2"));
  EXPECT_FALSE(settings.WriteControls(many));
  QORAPOPublicSettingsReader reader;
  ASSERT_TRUE(reader.Open(info_, mode_, nullptr));
  ASSERT_TRUE(reader.Read(controls));
  EXPECT_EQ(Text(controls, "Bass Level"), "5");
  EXPECT_EQ(Text(controls, "VAPO3-Process Enable"), "0");
  EXPECT_EQ(Text(controls, "Treble Level"), "(none)");  // a name the mode does not declare
  EXPECT_TRUE(settings.ReadAllControls(controls, true));
  EXPECT_EQ(controls.Size(), 3u);
  EXPECT_EQ(Text(controls, "Tech Gain"), "7");

  // Without a stored value the reader gives nothing, not its defaults.
  EXPECT_TRUE(settings.DeleteValue());
  EXPECT_FALSE(settings.ReadControls(controls, true));
  EXPECT_FALSE(reader.Read(controls));
  EXPECT_TRUE(controls.Empty());
  // A failed Init leaves nothing to write to, not the key of before.
  ASSERT_EQ(QORRegistryKey::DeleteTree(QORRegistryHive::kLocalMachine, info_.GetRegistrySubkey()),
            ERROR_SUCCESS);
  EXPECT_FALSE(settings.Init(info_, mode_));
  EXPECT_FALSE(settings.WriteControl(QORUTSValue("Bass Level", "4")));
}

TEST_F(QORAPOPublicSettingsTest, ReaderTakesTheNewEventAndWakesForItsModesValueOnly) {
  auto first = QORCreateEvent(false, false);
  auto second = QORCreateEvent(false, false);
  QORAPOPublicSettings settings;
  ASSERT_TRUE(settings.Init(info_, mode_));
  QORAPOPublicSettingsReader reader;
  ASSERT_TRUE(reader.Open(info_, mode_, first.get()));
  ASSERT_TRUE(reader.Open(info_, mode_, second.get()));
  ASSERT_TRUE(settings.WriteControl(QORUTSValue("Bass Level", "1")));
  EXPECT_EQ(QORWaitForSingle(*second, 2000), kQORWaitObject0);
  EXPECT_EQ(QORWaitForSingle(*first, 0), kQORWaitTimeout);
  // An event given only on the second Open is signalled as well.
  QORAPOPublicSettingsReader late;
  ASSERT_TRUE(late.Open(info_, mode_, nullptr));
  ASSERT_TRUE(late.Open(info_, mode_, first.get()));
  ASSERT_TRUE(settings.WriteControl(QORUTSValue("Bass Level", "2")));
  EXPECT_EQ(QORWaitForSingle(*first, 2000), kQORWaitObject0);
  EXPECT_EQ(QORWaitForSingle(*second, 2000), kQORWaitObject0);
  // Other values of the key, and the mode's own bytes written again, wake nobody: one control
  // panel write is one rebuild.
  ASSERT_EQ(EndpointKey(info_).SetDword(L"QorApoInitCount", 7), ERROR_SUCCESS);
  Store(L"ApoOpMode:VAPO3-Movie/VAPO3-Speakers", "Bass Level", "4");
  ASSERT_TRUE(settings.WriteControl(QORUTSValue("Bass Level", "2")));
  EXPECT_EQ(QORWaitForSingle(*first, 300), kQORWaitTimeout);
  EXPECT_EQ(QORWaitForSingle(*second, 0), kQORWaitTimeout);
  ASSERT_TRUE(settings.WriteControl(QORUTSValue("Bass Level", "3")));
  EXPECT_EQ(QORWaitForSingle(*first, 2000), kQORWaitObject0);
}

// The reader's event and the settings' listener both hear another process's write in time.
TEST_F(QORAPOPublicSettingsTest, AnotherProcessesWriteSignalsTheReaderQuickly) {
  auto changed = QORCreateEvent(false, false);
  QORAPOPublicSettingsReader reader;
  ASSERT_TRUE(reader.Open(info_, mode_, changed.get()));
  QORAPOPublicSettings settings;
  ASSERT_TRUE(settings.Init(info_, mode_));
  ASSERT_TRUE(settings.SaveAllControls());
  ControlListener listener;
  ASSERT_TRUE(settings.SetNotify(&listener));
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("settings-panel"));
  ASSERT_TRUE(child.WaitFor("ready"));
  for (const char* level : {"6", "7"}) {
    ASSERT_TRUE(child.SendLine(std::string("write Bass Level=") + level));
    std::string written;
    ASSERT_TRUE(child.ReadLine(written));
    ASSERT_EQ(QORWaitForSingle(*changed, 2000), kQORWaitObject0);
    EXPECT_LT(NowUs() - std::stoll(written), 100000) << level;
    QORUTSValueList controls;
    ASSERT_TRUE(reader.Read(controls));
    EXPECT_EQ(Text(controls, "Bass Level"), level);
    ASSERT_NE(listener.Wait(level[0] - '6', std::string("Bass Level=") + level), 0);
  }
  EXPECT_TRUE(settings.SetNotify(nullptr));  // every delivery is done once the watch stops
  EXPECT_EQ(listener.Items(), (std::vector<std::string>{"Bass Level=6", "Bass Level=7"}));
  child.SendLine("end");
  EXPECT_EQ(child.Wait(), 0);
}

// The watch thread reloads after each write it sees; a reload of the previous value landing
// between a local change and its save must not be written back over it.
TEST_F(QORAPOPublicSettingsTest, LocalWritesWhileWatchingAreNeverRevertedByAReload) {
  QORAPOPublicSettings settings;
  ASSERT_TRUE(settings.Init(info_, mode_));
  ASSERT_TRUE(settings.SaveAllControls());
  ControlListener listener;
  ASSERT_TRUE(settings.SetNotify(&listener));
  QORAPOPublicSettingsReader reader;
  ASSERT_TRUE(reader.Open(info_, mode_, nullptr));
  for (int level = 0; level < 300; ++level) {
    const std::string text = std::to_string(level);
    ASSERT_TRUE(settings.WriteControl(QORUTSValue("Bass Level", text.c_str())));
    QORUTSValueList stored;
    ASSERT_TRUE(reader.Read(stored));
    ASSERT_EQ(Text(stored, "Bass Level"), text);
  }
  EXPECT_TRUE(settings.SetNotify(nullptr));
}

const QORAPOModeIdentity kDefault("VAPO3-Music", "VAPO3-Speakers");

// Another process's control panel: "write NAME=TEXT" writes a public control, "set MODE SPEAKER"
// sets the mode; each is answered with the time just before.
int PanelChild(const std::vector<std::string>&) {
  QORAPOEndpointInfo info;
  QORAPOPublicSettings settings;
  QORAPOModeSelector selector;
  if (!MakeEndpoint(info, false) || !settings.Init(info, MusicMode()) ||
      !selector.Init(info, kDefault))
    return 1;
  qortest::ChildSay("ready");
  std::string line;
  while (qortest::ChildHear(line) && line != "end") {
    const bool write = line.rfind("write ", 0) == 0;
    const size_t start = write ? 6 : 4;
    const size_t split = line.find(write ? '=' : ' ', start);
    const std::string first = line.substr(start, split - start);
    const std::string second = line.substr(split + 1);
    const int64_t before = NowUs();
    if (!(write ? settings.WriteControl(QORUTSValue(first, second.c_str()))
                : selector.SetMode(QORAPOModeIdentity(first, second))))
      return 2;
    qortest::ChildSay(std::to_string(before));
  }
  return 0;
}
qortest::ChildRegistration panel("settings-panel", &PanelChild);

class ModeListener : public IQORAPOModeSelectorNotify, public Heard {
 public:
  void OnModeSelectorChanged() override { Add("changed"); }
};

class QORAPOModeSelectorTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(MakeEndpoint(info_, true)); }
  qortest::TempStateRoot root_;
  QORAPOEndpointInfo info_;
};

TEST_F(QORAPOModeSelectorTest, DefaultUntilAWholeModeIsStored) {
  QORAPOModeSelector selector;
  ASSERT_TRUE(selector.Init(info_, kDefault));
  QORAPOModeIdentity mode;
  EXPECT_FALSE(selector.GetMode(mode));  // nothing stored yet
  EXPECT_EQ(mode, kDefault);
  const QORAPOModeIdentity movie("VAPO3-Movie", "VAPO3-Headphones");
  ASSERT_TRUE(selector.SetMode(movie));

  // Two records of 8-bit text (tag 6): "VAPO3-Operating Mode" (40 key bytes), then the other.
  uint32_t type = 0;
  std::vector<uint8_t> stored;
  ASSERT_EQ(EndpointKey(info_).QueryValue(L"QorApoCurrOpMode", &type, &stored), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  const std::string first = "VAPO3-Movie";
  ASSERT_EQ(stored.size(), (12u + 40 + 1 + first.size()) + (12u + 36 + 1 + 16));
  EXPECT_EQ(stored[0], 40);
  EXPECT_EQ(stored[4], 1);
  EXPECT_EQ(stored[8], first.size());
  EXPECT_EQ(stored[12], 'V');
  EXPECT_EQ(stored[52], 6);
  EXPECT_EQ(std::string(stored.begin() + 53, stored.begin() + 53 + first.size()), first);

  // A new selector takes the stored mode over its default.
  QORAPOModeSelector later;
  ASSERT_TRUE(later.Init(info_, kDefault));
  EXPECT_TRUE(later.GetMode(mode));
  EXPECT_EQ(mode, movie);
  // Half a mode is no mode; nor is a value that does not parse.
  stored.resize(12 + 40 + 1 + first.size());
  ASSERT_EQ(EndpointKey(info_).SetBinary(QORAPOModeSelector::kValueName, stored), ERROR_SUCCESS);
  EXPECT_FALSE(later.GetMode(mode));
  EXPECT_EQ(mode.GetText(), "ApoOpMode:VAPO3-Movie/VAPO3-Disabled");
  ASSERT_EQ(EndpointKey(info_).SetBinary(QORAPOModeSelector::kValueName,
                                         std::vector<uint8_t>{0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}),
            ERROR_SUCCESS);
  EXPECT_FALSE(later.GetMode(mode));
  EXPECT_TRUE(later.DeleteValue());
  EXPECT_FALSE(later.DeleteValue());
}

TEST_F(QORAPOModeSelectorTest, AnotherProcessesModeReachesTheListenerQuickly) {
  QORAPOModeSelector selector;
  ASSERT_TRUE(selector.Init(info_, kDefault));
  ASSERT_TRUE(selector.SetMode(kDefault));
  ModeListener listener;
  ASSERT_TRUE(selector.SetNotify(&listener));
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("settings-panel"));
  ASSERT_TRUE(child.WaitFor("ready"));
  // Only the speaker type changes: one call.
  ASSERT_TRUE(child.SendLine("set VAPO3-Music VAPO3-Headphones"));
  std::string written;
  ASSERT_TRUE(child.ReadLine(written));
  const int64_t heard = listener.Wait(0);
  ASSERT_NE(heard, 0);
  EXPECT_LT(heard - std::stoll(written), 100000);
  QORAPOModeIdentity mode;
  EXPECT_TRUE(selector.GetMode(mode));
  EXPECT_EQ(mode.GetText(), "ApoOpMode:VAPO3-Music/VAPO3-Headphones");
  // Both halves change: two calls, and with stopping the watch every delivery is done.
  ASSERT_TRUE(child.SendLine("set VAPO3-Movie VAPO3-Speakers"));
  ASSERT_TRUE(child.ReadLine(written));
  ASSERT_NE(listener.Wait(2), 0);
  EXPECT_TRUE(selector.SetNotify(nullptr));
  EXPECT_EQ(listener.Items().size(), 3u);
  child.SendLine("end");
  EXPECT_EQ(child.Wait(), 0);
}

using Shm = QORPropertySetSharedMem;

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

uint32_t StoredLength() {
  auto raw = QOROpenSharedMemory(kMusicBlock, 4);
  uint32_t length = 0xFFFFFFFF;
  if (raw) std::memcpy(&length, raw->Data(), 4);
  return length;
}

// A tuning tool: opens the music block that must already exist and writes the given controls
// (name=text pairs).
int TunerChild(const std::vector<std::string>& args) {
  QORAPOEndpointInfo info;
  QORAPOTunedSettings tuned;
  if (!MakeEndpoint(info, false) || !tuned.Open(info, MakeMode("Music"), true)) return 1;
  QORUTSValueList controls;
  for (const std::string& pair : args) {
    const size_t equals = pair.find('=');
    controls.Set(QORUTSValue(pair.substr(0, equals), pair.substr(equals + 1).c_str()));
  }
  return tuned.WriteControls(controls) ? 0 : 2;
}
qortest::ChildRegistration tuner("tuned-writer", &TunerChild);

class QORAPOTunedSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(MakeEndpoint(info_, true)); }

  qortest::TempStateRoot root_;
  QORAPOEndpointInfo info_;
  QORAPOOperatingMode music_ = MakeMode("Music");
  QORAPOTunedSettings tuned_;
  QORUTSValueList out_;
};

TEST_F(QORAPOTunedSettingsTest, OpenHoldsTheModesControlsWhileTheNewBlockStaysEmpty) {
  QORAPOTunedSettings fresh;
  EXPECT_FALSE(fresh.Open(info_, music_, true));  // requires a block someone holds
  EXPECT_FALSE(SharedMemoryExists(kMusicBlock));
  ASSERT_TRUE(tuned_.Open(info_, music_, false));
  EXPECT_TRUE(SharedMemoryExists(kMusicBlock));
  out_.Set(QORUTSValue("Stale", "1"));
  EXPECT_TRUE(tuned_.ReadControls(out_, true));
  EXPECT_EQ(out_.Size(), 4u);
  EXPECT_EQ(Text(out_, "Gain"), "-1");
  EXPECT_EQ(Text(out_, "Bass"), "2");
  EXPECT_EQ(Text(out_, "Secret"), "on");
  EXPECT_EQ(Text(out_, "VAPO3-Tuning Mode"), "0");
  EXPECT_NE(boost::any_cast<long>(&out_.Find("VAPO3-Tuning Mode")->GetValue()), nullptr);
  EXPECT_EQ(tuned_.GetTuningMode(), 0);
  EXPECT_EQ(StoredLength(), 0u);

  // A mode whose block nobody holds is refused and changes nothing; opened, it lets go of the
  // first block.
  ASSERT_TRUE(tuned_.WriteControl(QORUTSValue("Gain", "-9")));
  QORAPOOperatingMode movie = MakeMode("Movie");
  movie.GetPublicControls().Set(QORUTSValue("Dialog", "5"));
  EXPECT_FALSE(tuned_.Open(info_, movie, true));
  EXPECT_TRUE(tuned_.ReadControls(out_, true));
  EXPECT_EQ(Text(out_, "Gain"), "-9");
  ASSERT_TRUE(tuned_.Open(info_, movie, false));
  EXPECT_FALSE(SharedMemoryExists(kMusicBlock));
  EXPECT_TRUE(tuned_.ReadControls(out_, true));
  EXPECT_EQ(Text(out_, "Dialog"), "5");
  EXPECT_EQ(Text(out_, "Gain"), "-1");
}

TEST_F(QORAPOTunedSettingsTest, TuningModeReadsTextAndWholeNumbersOnly) {
  ASSERT_TRUE(tuned_.Open(info_, music_, false));
  // A tool writing straight into the block, with value types of its choosing.
  QORPropertySet tool;
  Shm block;
  block.AttachPropertySet(&tool);
  ASSERT_TRUE(block.Open(kMusicBlock, 0));
  const std::pair<boost::any, long> cases[] = {
      {std::string("1"), 1}, {2L, 2}, {std::wstring(L"-3"), -3}, {1.5, 0}, {std::string("on"), 0}};
  for (const auto& [value, mode] : cases) {
    tool.SetProperty(L"VAPO3-Tuning Mode", value);
    ASSERT_EQ(block.Save(), Shm::kOk);
    EXPECT_EQ(tuned_.GetTuningMode(), mode) << mode;
  }
  EXPECT_TRUE(tuned_.ReadControls(out_, true));
  EXPECT_EQ(Text(out_, "VAPO3-Tuning Mode"), "on");
}

TEST_F(QORAPOTunedSettingsTest, ControlsWrittenByAnotherProcessAreRead) {
  ASSERT_TRUE(tuned_.Open(info_, music_, false));
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("tuned-writer", {"Gain=-12", "Extra=7", "VAPO3-Tuning Mode=1"}));
  ASSERT_EQ(child.Wait(), 0);
  EXPECT_TRUE(tuned_.ReadControls(out_, true));
  EXPECT_EQ(Text(out_, "Gain"), "-12");
  EXPECT_EQ(Text(out_, "Extra"), "7");
  EXPECT_EQ(Text(out_, "Bass"), "2");
  EXPECT_EQ(Text(out_, "VAPO3-Tuning Mode"), "1");
  EXPECT_EQ(tuned_.GetTuningMode(), 1);
}

// Everything these classes store, in the registry and as named objects, is read-write for owner
// and group only, in directories of the same kind; a link planted for a block is not followed.
TEST_F(QORAPOTunedSettingsTest, StoredFilesAreGroupOnlyAndLinksAreNotFollowed) {
  const std::filesystem::path root(root_.Path());
  const std::filesystem::path victim = root / "victim";
  std::ofstream(victim) << "keep";
  QORAPOOperatingMode movie = MakeMode("Movie");
  const std::wstring movieBlock = QORAPOTunedSettings::BlockName(info_, movie.GetModeIdentity());
  std::filesystem::create_directories(root / "NamedObjects");
  std::filesystem::create_symlink(
      victim, root / "NamedObjects" / QORNamedObject::FileNameFor("shm", movieBlock));
  EXPECT_FALSE(tuned_.Open(info_, movie, false));
  EXPECT_EQ(std::filesystem::file_size(victim), 4u);

  ASSERT_TRUE(tuned_.Open(info_, music_, false));
  ASSERT_TRUE(tuned_.WriteControl(QORUTSValue("Gain", "-9")));
  QORAPOPublicSettings settings;
  ASSERT_TRUE(settings.Init(info_, MusicMode()));
  ASSERT_TRUE(settings.WriteControl(QORUTSValue("Bass Level", "4")));
  QORAPOGlobalSettings global;
  ASSERT_TRUE(global.InitGlobal(info_));
  QORUTSValueList controls;  // the global switches' defaults, nothing stored yet
  EXPECT_FALSE(global.ReadControls(controls, true));
  EXPECT_EQ(Text(controls, "VAPO3-Process Enable"), "1");
  EXPECT_EQ(Text(controls, "VAPO3-Mic Monitor Enable"), "0");
  ASSERT_TRUE(global.SaveAllControls());
  QORAPOModeSelector selector;
  ASSERT_TRUE(selector.Init(info_, QORAPOModeIdentity("VAPO3-Music", "VAPO3-Speakers")));
  ASSERT_TRUE(selector.SetMode(QORAPOModeIdentity("VAPO3-Movie", "VAPO3-Speakers")));
  int files = 0;
  for (const char* top : {"registry", "NamedObjects"}) {
    struct stat info {};
    ASSERT_EQ(::stat((root / top).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0770u);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root / top)) {
      ASSERT_EQ(::lstat(entry.path().c_str(), &info), 0);
      if (S_ISLNK(info.st_mode)) continue;  // the planted link
      EXPECT_EQ(info.st_mode & 07777, S_ISDIR(info.st_mode) ? 0770u : 0660u) << entry.path();
      files += !S_ISDIR(info.st_mode);
    }
  }
  EXPECT_GE(files, 5);  // three registry values, block and mutex
}

using Kinds = std::vector<std::string>;

// Listed after kEndpoint, so neither is the default by being first.
constexpr GUID kRenderB = {0x7B0B0B0B, 0x2222, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xB2}};
constexpr GUID kCapture = {0x0D0D0D0D, 0x4444, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xD4}};
constexpr PROPERTYKEY kDisableSysFx = {
    {0x1DA5D803, 0xD492, 0x4EDD, {0x8C, 0x23, 0xE0, 0xC0, 0xFF, 0xEE, 0x7F, 0x0E}}, 5};

class Recorder : public IQORAPOEndpointNotify, public Heard {
 public:
  using Heard::Heard;
  void OnEndpointNotify(uint32_t kind) override { Add(std::to_string(kind)); }
};

class QORAPOEndpointToolsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(MakeEndpoint(info_, true)); }
  // The owner's way to start watching: unregister, then register.
  void Watch(Recorder& listener) {
    tools_.Unregister(&listener);
    tools_.Register(&listener);
  }
  qortest::TempStateRoot root_;
  QORAPOEndpointInfo info_;
  QORAPOEndpointTools tools_;
};

TEST_F(QORAPOEndpointToolsTest, ListsActiveRenderEndpointsAndSetsTheDefaultReadBack) {
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, kRenderB, L"HDMI", DEVICE_STATE_UNPLUGGED));
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eCapture, kCapture, L"Mic", DEVICE_STATE_ACTIVE));
  std::vector<QORAPOEndpointInfo> list(3);
  ASSERT_TRUE(tools_.EnumerateEndpoints(list));
  ASSERT_EQ(1u, list.size());
  EXPECT_EQ(kEndpoint, list[0].GetEndpointGuid());
  ASSERT_EQ(S_OK, QOREndpointStore::Enable(eRender, kRenderB));
  ASSERT_TRUE(tools_.EnumerateEndpoints(list));
  ASSERT_EQ(2u, list.size());

  // Read back through the multimedia role: setting the console role alone is not enough.
  QORAPOEndpointInfo endpoint;
  ASSERT_TRUE(tools_.GetDefaultEndpoint(endpoint));
  EXPECT_EQ(kEndpoint, endpoint.GetEndpointGuid());
  ASSERT_TRUE(MakeEndpoint(endpoint, false, kRenderB));
  ASSERT_TRUE(tools_.SetDefaultEndpoint(endpoint));
  ASSERT_TRUE(tools_.GetDefaultEndpoint(endpoint));
  EXPECT_EQ(kRenderB, endpoint.GetEndpointGuid());
  EXPECT_FALSE(tools_.SetDefaultEndpoint(QORAPOEndpointInfo()));

  ASSERT_EQ(S_OK, QOREndpointStore::Disable(eRender, kEndpoint));
  ASSERT_EQ(S_OK, QOREndpointStore::Disable(eRender, kRenderB));
  EXPECT_FALSE(tools_.EnumerateEndpoints(list));
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(tools_.GetDefaultEndpoint(endpoint));
}

// Each callback gives its kind; states other than the four and properties other than the
// system-effects switch give nothing. Changes while the worker is busy coalesce.
TEST_F(QORAPOEndpointToolsTest, CallbacksGiveTheirKindsAndCoalesce) {
  Recorder listener;
  Watch(listener);
  const wchar_t* id = L"any";
  size_t count = 0;
  for (uint32_t state : {1u, 2u, 4u, 8u}) {
    EXPECT_EQ(S_OK, tools_.OnDeviceStateChanged(id, state));
    ASSERT_NE(listener.Wait(count++), 0) << state;  // heard before the next, so none coalesce
  }
  for (uint32_t state : {0u, 16u, 3u}) tools_.OnDeviceStateChanged(id, state);
  tools_.OnPropertyValueChanged(id, {kDisableSysFx.fmtid, 6});
  tools_.OnDeviceAdded(id);
  tools_.OnDeviceRemoved(id);
  tools_.OnDefaultDeviceChanged(eCapture, eCommunications, id);
  ASSERT_NE(listener.Wait(count++), 0);
  EXPECT_TRUE(tools_.StopWatching());
  EXPECT_EQ((Kinds{"2", "1", "1", "1", "0"}), listener.Items());

  Recorder held(true);  // holds the worker inside its first call
  Watch(held);
  tools_.Unregister(&listener);
  tools_.OnPropertyValueChanged(id, kDisableSysFx);
  ASSERT_NE(held.Wait(0), 0);
  tools_.OnDeviceStateChanged(id, DEVICE_STATE_UNPLUGGED);
  tools_.OnDefaultDeviceChanged(eRender, eConsole, L"other");
  held.Open();
  ASSERT_NE(held.Wait(1), 0);
  EXPECT_TRUE(tools_.StopWatching());
  EXPECT_EQ((Kinds{"3", "0"}), held.Items());
}

// Another process adds an endpoint, changes the default and flips the system-effects switch,
// reporting when each change was complete: "done <start us> <end us>".
int ChangerChild(const std::vector<std::string>&) {
  std::string line;
  while (qortest::ChildHear(line)) {
    HRESULT hr = E_FAIL;
    int64_t start = NowUs();
    if (line == "add") {
      hr = QOREndpointStore::Add(eRender, kRenderB, L"HDMI", DEVICE_STATE_ACTIVE);
    } else if (line == "default") {
      QORAPOEndpointTools tools;
      QORAPOEndpointInfo info;
      if (MakeEndpoint(info, false, kRenderB)) {
        start = NowUs();
        if (tools.SetDefaultEndpoint(info)) hr = S_OK;
      }
    } else if (line == "sysfx") {
      PROPVARIANT value;
      PropVariantInit(&value);
      InitPropVariantFromUInt32(1, &value);
      hr = QOREndpointStore::SetProperty(eRender, kRenderB, kDisableSysFx, value);
    }
    qortest::ChildSay((SUCCEEDED(hr) ? "done " : "failed ") + std::to_string(start) + " " +
                      std::to_string(NowUs()));
  }
  return 0;
}
qortest::ChildRegistration changerChild("endpoint-changer", &ChangerChild);

TEST_F(QORAPOEndpointToolsTest, ChangesByAnotherProcessAreHeardWithin100Ms) {
  for (int role = 0; role < ERole_enum_count; ++role) {
    ASSERT_EQ(S_OK, QOREndpointStore::SetDefault(eRender, static_cast<ERole>(role), kEndpoint));
  }
  Recorder listener;
  Watch(listener);
  qortest::ChildProcess changer;
  ASSERT_TRUE(changer.Start("endpoint-changer"));
  const std::pair<const char*, const char*> steps[] = {
      {"add", "2"}, {"default", "0"}, {"sysfx", "3"}};
  std::string previous = "2";
  for (const auto& [command, kind] : steps) {
    const size_t from = listener.Items().size();
    ASSERT_TRUE(changer.SendLine(command));
    std::string line;
    ASSERT_TRUE(changer.ReadLine(line));
    ASSERT_EQ(0u, line.rfind("done ", 0)) << command << ": " << line;
    std::istringstream times(line.substr(5));
    int64_t start = 0;
    int64_t written = 0;
    times >> start >> written;
    const int64_t heard = listener.Wait(from, kind);
    ASSERT_NE(0, heard) << command;
    // From the moment the change is in the store; the write itself is the other process's time.
    EXPECT_LE(heard - written, 100000) << command << ", writing took " << written - start;
    // Nothing of another kind came with it; the default is two writes (console and multimedia
    // role), so a second kind 0 may still arrive during the next step.
    const Kinds kinds = listener.Items();
    for (size_t i = from; i < kinds.size(); ++i) {
      EXPECT_TRUE(kinds[i] == kind || kinds[i] == previous) << command << " " << kinds[i];
    }
    previous = kind;
  }
  EXPECT_TRUE(tools_.StopWatching());
}

TEST_F(QORAPOEndpointToolsTest, InitFxPropertiesGivesEveryEndpointAnFxKeyWhenTheMakerAsks) {
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, kRenderB, L"HDMI", DEVICE_STATE_DISABLED));
  const auto hasFx = [](EDataFlow flow, const GUID& guid) {
    QORRegistryKey key;
    return QORRegistryKey::Open(QORRegistryHive::kLocalMachine,
                                QOREndpointStore::EndpointKeyPath(flow, guid) + L"\\FxProperties",
                                KEY_READ, key) == ERROR_SUCCESS;
  };
  QORRegistryKey maker;
  ASSERT_EQ(ERROR_SUCCESS,
            QORRegistryKey::Create(QORRegistryHive::kLocalMachine, L"Software\\QOR Labs\\APO",
                                   KEY_ALL_ACCESS, maker));
  ASSERT_EQ(ERROR_SUCCESS, maker.SetDword(L"InitFxProperties", 0));
  EXPECT_TRUE(QORAPOEndpointTools::InitFxProperties());
  EXPECT_FALSE(hasFx(eRender, kRenderB));

  ASSERT_EQ(ERROR_SUCCESS, maker.SetDword(L"InitFxProperties", 1));
  // Without a capture root the routine still fills the render endpoints but reports failure.
  EXPECT_FALSE(QORAPOEndpointTools::InitFxProperties());
  EXPECT_TRUE(hasFx(eRender, kEndpoint));
  EXPECT_TRUE(hasFx(eRender, kRenderB));
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eCapture, kCapture, L"Mic", DEVICE_STATE_ACTIVE));
  EXPECT_TRUE(QORAPOEndpointTools::InitFxProperties());
  EXPECT_TRUE(hasFx(eCapture, kCapture));
}

}  // namespace
