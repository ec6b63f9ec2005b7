#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "endpoint/QORAPOEndpointTools.h"
#include "endpoint/QORAPOGlobalSettings.h"
#include "endpoint/QORAPOModeSelector.h"
#include "endpoint/QORAPOPublicSettings.h"
#include "endpoint/QORAPOPublicSettingsReader.h"
#include "endpoint/QORAPOTunedSettings.h"
#include "platform/QORAudioEndpointKeys.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORMMDevice.h"
#include "platform/QORWait.h"
#ifndef _WIN32
#include "platform/posix/QORNamedObject.h"
#endif
#include "settings/QORPropertySetSharedMem.h"
#include "settings/QORSharedMemory.h"

// Settings kept under an endpoint's registry key and in its shared blocks, and the endpoint tools.
namespace {

// How soon another process's write is heard, in microseconds. Wine's registry notifications go
// through its server and were measured at up to 164 ms on a loaded machine.
#ifdef _WIN32
constexpr int64_t kHeardWithinUs = 500000;
#else
constexpr int64_t kHeardWithinUs = 100000;
#endif

constexpr GUID kEndpoint = {
    0x5C3B2A19, 0x7D6E, 0x4F80, {0x91, 0xA2, 0xB3, 0xC4, 0xD5, 0xE6, 0xF7, 0x08}};
constexpr GUID kRenderB = {0x7B0B0B0B, 0x2222, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xB2}};
constexpr GUID kCapture = {0x0D0D0D0D, 0x4444, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xD4}};
const QORAPOModeIdentity kDefault("VAPO3-Music", "VAPO3-Speakers");
const std::wstring kMusicBlock =
    L"Global\\{5C3B2A19-7D6E-4F80-91A2-B3C4D5E6F708}ApoOpMode:Music/Speakers";
using Kinds = std::vector<std::string>;

// The endpoint record; add puts the endpoint into the store first.
bool MakeEndpoint(QORAPOEndpointInfo& info, bool add, const GUID& id = kEndpoint) {
  if (add && FAILED(QOREndpointStore::Add(eRender, id, L"Speakers", DEVICE_STATE_ACTIVE)))
    return false;
  QORComPtr<IMMDevice> device;
  return SUCCEEDED(QORMMDevice::Create(eRender, id, device.Put())) && info.Init(device.Get(), true);
}

// The default mode with two public controls.
QORAPOOperatingMode MusicMode() {
  QORAPOOperatingMode mode;
  mode.GetModeIdentity() = kDefault;
  mode.GetPublicControls().Set(QORUTSValue("VAPO3-Process Enable", "1"));
  mode.GetPublicControls().Set(QORUTSValue("Bass Level", "3"));
  mode.GetControls() = mode.GetPublicControls();
  return mode;
}

// A mode on speakers: public Gain -3 and Bass 2, private Gain -1 (wins) and Secret on.
QORAPOOperatingMode MakeMode(const std::string& name) {
  QORAPOOperatingMode mode;
  mode.GetModeIdentity() = QORAPOModeIdentity(name, "Speakers");
  mode.GetPublicControls().Set(QORUTSValue("Gain", "-3"));
  mode.GetPublicControls().Set(QORUTSValue("Bass", boost::any(2L)));
  mode.GetPrivateControls().Set(QORUTSValue("Gain", "-1"));
  mode.GetPrivateControls().Set(QORUTSValue("Secret", "on"));
  return mode;
}

QORRegistryKey EndpointKey(const QORAPOEndpointInfo& info) {
  QORRegistryKey key;
  QORRegistryKey::Open(QORRegistryHive::kLocalMachine, info.GetRegistrySubkey(), KEY_ALL_ACCESS,
                       key);
  return key;
}

// The texts of the controls named in "A|B|...", joined the same way.
std::string Text(const QORUTSValueList& list, const std::string& names) {
  std::string texts;
  std::istringstream words(names);
  for (std::string name; std::getline(words, name, '|');) {
    const QORUTSValue* control = list.Find(name);
    if (!texts.empty()) texts += '|';
    texts += control != nullptr ? control->GetValueText() : "(none)";
  }
  return texts;
}

int64_t NowUs() {  // steady clock, comparable between processes
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// Hears public settings, the mode selector and the endpoint tools, each call as a text, and when.
struct Listener : IQORAPOPublicSettingsNotify, IQORAPOModeSelectorNotify, IQORAPOEndpointNotify {
  void OnPublicSettingChanged(QORAPOPublicSettings&, const QORUTSValue& control) override {
    Add(control.GetName() + "=" + control.GetValueText());
  }
  void OnModeSelectorChanged() override { Add("changed"); }
  void OnEndpointNotify(uint32_t kind) override { Add(std::to_string(kind)); }
  void Add(const std::string& item) {
    std::lock_guard<std::mutex> lock(mutex);
    items.push_back(item), times.push_back(NowUs()), changed.notify_all();
  }
  // The time of the first item at or after index from (any item when empty), or 0 after 5 s.
  int64_t Wait(size_t from, const std::string& item = "") {
    std::unique_lock<std::mutex> lock(mutex);
    int64_t when = 0;
    changed.wait_for(lock, std::chrono::seconds(5), [&] {
      for (size_t i = from; i < items.size() && when == 0; ++i)
        if (item.empty() || items[i] == item) when = times[i];
      return when != 0;
    });
    return when;
  }
  Kinds Items() {
    std::lock_guard<std::mutex> lock(mutex);
    return items;
  }
  std::mutex mutex;
  std::condition_variable changed;
  Kinds items;
  std::vector<int64_t> times;
};

// Another process's panel, tuning tool and device manager, answering the times before and after
// "write|NAME|TEXT", "set|MODE|SPEAKER", "tune|NAME|TEXT|..." (into the existing music block),
// "add", "default" and "sysfx" (a new endpoint, made the default, its effects switched off).
int PanelChild(const std::vector<std::string>&) {
  QORAPOEndpointInfo info, other;
  QORAPOPublicSettings settings;
  QORAPOModeSelector selector;
  QORAPOTunedSettings tuned;
  if (!MakeEndpoint(info, false) || !settings.Init(info, MusicMode()) ||
      !selector.Init(info, kDefault))
    return 1;
  PROPVARIANT off;
  InitPropVariantFromUInt32(1, &off);
  qortest::ChildSay("ready");
  for (std::string line; qortest::ChildHear(line) && line != "end";) {
    std::vector<std::string> a;
    std::istringstream words(line);
    for (std::string word; std::getline(words, word, '|');) a.push_back(word);
    a.resize(std::max<size_t>(a.size(), 3));
    QORUTSValueList controls;
    for (size_t i = 1; i + 1 < a.size(); i += 2) controls.Set(QORUTSValue(a[i], a[i + 1].c_str()));
    const int64_t start = NowUs();
    bool done = a[0] == "write" && settings.WriteControl(QORUTSValue(a[1], a[2].c_str()));
    done = done || (a[0] == "set" && selector.SetMode(QORAPOModeIdentity(a[1], a[2])));
    done = done || (a[0] == "tune" && tuned.Open(info, MakeMode("Music"), true) &&
                    tuned.WriteControls(controls));
    done = done || (a[0] == "add" && SUCCEEDED(QOREndpointStore::Add(eRender, kRenderB, L"HDMI",
                                                                     DEVICE_STATE_ACTIVE)));
    done = done || (a[0] == "default" && MakeEndpoint(other, false, kRenderB) &&
                    QORAPOEndpointTools().SetDefaultEndpoint(other));
    done =
        done || (a[0] == "sysfx" && SUCCEEDED(QOREndpointStore::SetProperty(
                                        eRender, kRenderB, PKEY_AudioEndpoint_Disable_SysFx, off)));
    if (!done) return 2;
    qortest::ChildSay(std::to_string(start) + " " + std::to_string(NowUs()));
  }
  return 0;
}
qortest::ChildRegistration panel("settings-panel", &PanelChild);

class QORAPOEndpointSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(MakeEndpoint(info_, true)); }

  void Store(const std::wstring& name, const std::wstring& control, const char* text) {
    QORPropertySet set;
    set.SetProperty(control, std::string(text));
    set.SetProperty(L"Extra", std::string("9"));
    QORPropertySet::Bytes bytes;
    set.GetAllPropertiesBinary(bytes);
    ASSERT_EQ(EndpointKey(info_).SetBinary(name, bytes), ERROR_SUCCESS);
  }
  // Sends the panel child (started on first use) a command; the times it answered with, or 0s.
  std::pair<int64_t, int64_t> Ask(const std::string& command) {
    if (child_.Pid() <= 0) child_.Start("settings-panel"), child_.WaitFor("ready");
    std::pair<int64_t, int64_t> answer{0, 0};
    std::string line;
    if (child_.SendLine(command) && child_.ReadLine(line))
      std::istringstream(line) >> answer.first >> answer.second;
    return answer;
  }
  int EndPanel() { return child_.SendLine("end"), child_.Wait(); }

  qortest::TempStateRoot root_;
  QORAPOEndpointInfo info_;
  QORAPOOperatingMode mode_ = MusicMode();
  QORAPOOperatingMode music_ = MakeMode("Music");
  QORAPOTunedSettings tuned_;
  QORUTSValueList out_;
  QORAPOEndpointTools tools_;
  qortest::ChildProcess child_;
};

TEST_F(QORAPOEndpointSettingsTest, PublicValuesOverrideDeclaredControlsAndWakeTheirModesReader) {
  auto first = QORCreateEvent(false, false);  // outlive the readers that signal them
  auto second = QORCreateEvent(false, false);
  Store(L"ApoOpMode:VAPO3-Music/VAPO3-Speakers", L"VAPO3-Process Enable", "0");
  QORAPOPublicSettings settings;
  ASSERT_TRUE(settings.Init(info_, mode_));
  QORUTSValueList controls;
  ASSERT_TRUE(settings.ReadControls(controls, true));
  EXPECT_EQ(controls.Size(), 2u);
  EXPECT_EQ(Text(controls, "VAPO3-Process Enable|Bass Level"), "0|3");

  // An empty text has no stored form: refused, and the writes after it still store.
  EXPECT_FALSE(settings.WriteControl(QORUTSValue("Bass Level", "")));
  ASSERT_TRUE(settings.WriteControl(QORUTSValue("Bass Level", boost::any(5L))));
  QORAPOPublicSettingsReader reader;
  ASSERT_TRUE(reader.Open(info_, mode_, nullptr));
  ASSERT_TRUE(reader.Read(controls));
  EXPECT_EQ(Text(controls, "Bass Level|VAPO3-Process Enable"), "5|0");

  // A second Open takes the new event, and only the mode's own changed value wakes the reader.
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
  // Other values of the key, and the mode's own bytes written again, wake nobody.
  ASSERT_EQ(EndpointKey(info_).SetDword(L"QorApoInitCount", 7), ERROR_SUCCESS);
  Store(L"ApoOpMode:VAPO3-Movie/VAPO3-Speakers", L"Bass Level", "4");
  ASSERT_TRUE(settings.WriteControl(QORUTSValue("Bass Level", "2")));
  EXPECT_EQ(QORWaitForSingle(*first, 300), kQORWaitTimeout);
  EXPECT_EQ(QORWaitForSingle(*second, 0), kQORWaitTimeout);
  ASSERT_TRUE(settings.WriteControl(QORUTSValue("Bass Level", "3")));
  EXPECT_EQ(QORWaitForSingle(*first, 2000), kQORWaitObject0);

  // Without a stored value the reader gives nothing, not its defaults.
  EXPECT_TRUE(settings.DeleteValue());
  EXPECT_FALSE(reader.Read(controls));
  EXPECT_TRUE(controls.Empty());
  // A failed Init leaves nothing to write to, not the key of before.
  ASSERT_EQ(QORRegistryKey::DeleteTree(QORRegistryHive::kLocalMachine, info_.GetRegistrySubkey()),
            ERROR_SUCCESS);
  EXPECT_FALSE(settings.Init(info_, mode_));
  EXPECT_FALSE(settings.WriteControl(QORUTSValue("Bass Level", "4")));
}

// Another process's panel is heard quickly; a local write is never reverted by the watch.
TEST_F(QORAPOEndpointSettingsTest, PanelOfAnotherProcessIsHeardQuicklyAndStoresGroupOnly) {
  QORAPOModeSelector selector;
  ASSERT_TRUE(selector.Init(info_, kDefault));
  QORAPOModeIdentity mode;
  ASSERT_TRUE(selector.SetMode(QORAPOModeIdentity("VAPO3-Movie", "VAPO3-Headphones")));

  // Two records of 8-bit text (tag 6): "VAPO3-Operating Mode" (40 key bytes), then the other.
  uint32_t type = 0;
  std::vector<uint8_t> stored;
  ASSERT_EQ(EndpointKey(info_).QueryValue(L"QorApoCurrOpMode", &type, &stored), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  const std::string first = "VAPO3-Movie";
  ASSERT_EQ(stored.size(), (12u + 40 + 1 + first.size()) + (12u + 36 + 1 + 16));
  EXPECT_EQ(std::vector<uint8_t>(stored.begin(), stored.begin() + 13),
            (std::vector<uint8_t>{40, 0, 0, 0, 1, 0, 0, 0, 11, 0, 0, 0, 'V'}));
  EXPECT_EQ(stored[52], 6);
  EXPECT_EQ(std::string(stored.begin() + 53, stored.begin() + 53 + first.size()), first);

  // Half a mode is no mode.
  stored.resize(12 + 40 + 1 + first.size());
  ASSERT_EQ(EndpointKey(info_).SetBinary(QORAPOModeSelector::kValueName, stored), ERROR_SUCCESS);
  EXPECT_FALSE(selector.GetMode(mode));
  EXPECT_TRUE(selector.DeleteValue());

  auto changed = QORCreateEvent(false, false);
  QORAPOPublicSettingsReader reader;
  ASSERT_TRUE(reader.Open(info_, mode_, changed.get()));
  QORAPOPublicSettings settings;
  ASSERT_TRUE(settings.Init(info_, mode_));
  ASSERT_TRUE(settings.SaveAllControls());
  Listener listener;
  ASSERT_TRUE(settings.SetNotify(&listener));
  ASSERT_TRUE(selector.SetMode(kDefault));
  Listener modes;
  ASSERT_TRUE(selector.SetNotify(&modes));
  QORUTSValueList controls;
  for (const char* level : {"6", "7"}) {
    const int64_t written = Ask(std::string("write|Bass Level|") + level).first;
    ASSERT_NE(written, 0);
    ASSERT_EQ(QORWaitForSingle(*changed, 2000), kQORWaitObject0);
    EXPECT_LT(NowUs() - written, kHeardWithinUs) << level;
    ASSERT_TRUE(reader.Read(controls));
    EXPECT_EQ(Text(controls, "Bass Level"), level);
    ASSERT_NE(listener.Wait(level[0] - '6', std::string("Bass Level=") + level), 0);
  }
  EXPECT_TRUE(settings.SetNotify(nullptr));  // every delivery is done once the watch stops
  EXPECT_EQ(listener.Items(), (Kinds{"Bass Level=6", "Bass Level=7"}));

  // Only the speaker type changes: one call.
  const int64_t written = Ask("set|VAPO3-Music|VAPO3-Headphones").first, heard = modes.Wait(0);
  ASSERT_TRUE(heard != 0 && written != 0);
  EXPECT_LT(heard - written, kHeardWithinUs);
  EXPECT_TRUE(selector.GetMode(mode));
  EXPECT_EQ(mode.GetText(), "ApoOpMode:VAPO3-Music/VAPO3-Headphones");
  // Both halves change: two calls, and with stopping the watch every delivery is done.
  ASSERT_TRUE(Ask("set|VAPO3-Movie|VAPO3-Speakers").first != 0 && modes.Wait(2) != 0);
  EXPECT_TRUE(selector.SetNotify(nullptr));
  EXPECT_EQ(modes.Items().size(), 3u);
  EXPECT_EQ(EndPanel(), 0);

  ASSERT_TRUE(settings.SetNotify(&listener));
  for (int level = 0; level < 300; ++level) {
    const std::string text = std::to_string(level);
    ASSERT_TRUE(settings.WriteControl(QORUTSValue("Bass Level", text.c_str())));
    ASSERT_TRUE(reader.Read(controls));
    ASSERT_EQ(Text(controls, "Bass Level"), text);
  }
  EXPECT_TRUE(settings.SetNotify(nullptr));

#ifndef _WIN32
  // Files and modes of the POSIX store.
  // All they store is 0660 in 0770 directories; a link planted for a block is not followed.
  const std::filesystem::path root(root_.Path()), victim = root / "victim";
  std::ofstream(victim) << "keep";
  std::filesystem::create_directories(root / "NamedObjects");
  const QORAPOOperatingMode voice = MakeMode("Voice");
  const std::wstring block = QORAPOTunedSettings::BlockName(info_, voice.GetModeIdentity());
  std::filesystem::create_symlink(
      victim, root / "NamedObjects" / QORNamedObject::FileNameFor("shm", block));
  EXPECT_FALSE(tuned_.Open(info_, voice, false));
  EXPECT_EQ(std::filesystem::file_size(victim), 4u);
  ASSERT_TRUE(tuned_.Open(info_, music_, false));
  ASSERT_TRUE(tuned_.WriteControl(QORUTSValue("Gain", "-9")));
  QORAPOGlobalSettings global;
  ASSERT_TRUE(global.InitGlobal(info_));
  ASSERT_TRUE(global.SaveAllControls());
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
#endif
}

TEST_F(QORAPOEndpointSettingsTest, TunedBlockHoldsTheModesControlsAndAnotherProcessesWrites) {
  EXPECT_FALSE(tuned_.Open(info_, music_, true));  // requires a block someone holds
  EXPECT_FALSE(SharedMemoryExists(kMusicBlock));
  ASSERT_TRUE(tuned_.Open(info_, music_, false));
  EXPECT_TRUE(SharedMemoryExists(kMusicBlock));
  out_.Set(QORUTSValue("Stale", "1"));
  EXPECT_TRUE(tuned_.ReadControls(out_, true));
  EXPECT_EQ(out_.Size(), 4u);
  EXPECT_EQ(Text(out_, "Gain|Bass|VAPO3-Tuning Mode"), "-1|2|0");
  EXPECT_EQ(tuned_.GetTuningMode(), 0);

  // A tuning tool in another process writes controls and the tuning mode.
  ASSERT_NE(Ask("tune|Gain|-12|Extra|7|VAPO3-Tuning Mode|1").first, 0);
  ASSERT_EQ(EndPanel(), 0);
  EXPECT_TRUE(tuned_.ReadControls(out_, true));
  EXPECT_EQ(Text(out_, "Gain|Extra|VAPO3-Tuning Mode"), "-12|7|1");
  EXPECT_EQ(tuned_.GetTuningMode(), 1);

  // A mode whose block nobody holds is refused; opened, it lets go of the first block.
  const QORAPOOperatingMode movie = MakeMode("Movie");
  EXPECT_FALSE(tuned_.Open(info_, movie, true));
  ASSERT_TRUE(tuned_.Open(info_, movie, false));
  EXPECT_FALSE(SharedMemoryExists(kMusicBlock));

  // A tool writing straight into the block, with value types of its choosing.
  QORPropertySet tool;
  QORPropertySetSharedMem block;
  block.AttachPropertySet(&tool);
  ASSERT_TRUE(block.Open(QORAPOTunedSettings::BlockName(info_, movie.GetModeIdentity()), 0));
  const std::pair<boost::any, long> cases[] = {
      {std::string("1"), 1}, {2L, 2}, {std::wstring(L"-3"), -3}, {1.5, 0}, {std::string("on"), 0}};
  for (const auto& [value, mode] : cases) {
    tool.SetProperty(L"VAPO3-Tuning Mode", value);
    ASSERT_EQ(block.Save(), QORPropertySetSharedMem::kOk);
    EXPECT_EQ(tuned_.GetTuningMode(), mode) << mode;
  }
}

TEST_F(QORAPOEndpointSettingsTest, ToolsHearAnotherProcessesChangesListAndFillFxKeys) {
  for (int role = 0; role < ERole_enum_count; ++role) {
    ASSERT_EQ(S_OK, QOREndpointStore::SetDefault(eRender, static_cast<ERole>(role), kEndpoint));
  }
  Listener listener;
  tools_.Unregister(&listener);  // the owner's way to start watching: unregister, then register
  tools_.Register(&listener);
  for (const auto& [command, kind] : {std::pair{"add", "2"}, {"default", "0"}, {"sysfx", "3"}}) {
    const size_t from = listener.Items().size();
    const auto [start, written] = Ask(command);
    ASSERT_NE(written, 0) << command;
    const int64_t heard = listener.Wait(from, kind);
    ASSERT_NE(0, heard) << command;
    // From the moment the change is in the store; the write itself is the other process's time.
    EXPECT_LE(heard - written, kHeardWithinUs) << command << ", writing took " << written - start;
  }
  EXPECT_TRUE(tools_.StopWatching());
  EXPECT_EQ(EndPanel(), 0);

  // The other process's default, read through the multimedia role: the console role is not enough.
  QORAPOEndpointInfo endpoint;
  ASSERT_TRUE(tools_.GetDefaultEndpoint(endpoint));
  EXPECT_EQ(kRenderB, endpoint.GetEndpointGuid());
  // Only active render endpoints are listed, unless capture ones are asked for.
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eCapture, kCapture, L"Mic", DEVICE_STATE_ACTIVE));
  ASSERT_EQ(S_OK, QOREndpointStore::Disable(eRender, kRenderB));
  std::vector<QORAPOEndpointInfo> list(3);
  ASSERT_TRUE(tools_.EnumerateEndpoints(list));
  ASSERT_EQ(1u, list.size());
  EXPECT_EQ(kEndpoint, list[0].GetEndpointGuid());
  // The capture side asks for its own direction: the microphone alone, marked as no render one.
  ASSERT_TRUE(tools_.EnumerateEndpoints(eCapture, list));
  ASSERT_EQ(1u, list.size());
  EXPECT_EQ(kCapture, list[0].GetEndpointGuid());
  EXPECT_FALSE(list[0].IsRender());
  ASSERT_TRUE(tools_.EnumerateEndpoints(eRender, list));
  EXPECT_TRUE(list.size() == 1 && list[0].IsRender());
  EXPECT_FALSE(tools_.EnumerateEndpoints(eAll, list));
  ASSERT_EQ(S_OK, QOREndpointStore::Disable(eRender, kEndpoint));
  EXPECT_FALSE(tools_.EnumerateEndpoints(list));
  EXPECT_FALSE(tools_.GetDefaultEndpoint(endpoint));

  // Effects properties for every endpoint, disabled ones too, when the maker asks for them.
  QORRegistryKey key;
  const auto hive = QORRegistryHive::kLocalMachine;
  ASSERT_EQ(ERROR_SUCCESS,
            QORRegistryKey::Create(hive, L"Software\\QOR Labs\\APO", KEY_ALL_ACCESS, key));
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(L"InitFxProperties", 1));
  EXPECT_TRUE(QORAPOEndpointTools::InitFxProperties());
  for (const auto& [flow, guid] :
       {std::pair{eRender, kEndpoint}, {eRender, kRenderB}, {eCapture, kCapture}}) {
    const std::wstring fx = QOREndpointStore::EndpointKeyPath(flow, guid) + L"\\FxProperties";
    EXPECT_EQ(ERROR_SUCCESS, QORRegistryKey::Open(hive, fx, KEY_READ, key)) << flow;
  }
}

}  // namespace
