#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "APOTestSupport.h"
#include "ChildProcess.h"
#include "FakeDeviceInterfaces.h"
#include "FakeDeviceTopology.h"
#include "RegistryChangeChild.h"
#include "TraceCapture.h"
#include "apo/CKEL_EFX_APO.h"
#include "apo/CKEL_MFX_APO.h"
#include "apo/CKEL_OMFX_APO.h"
#include "apo/CKEL_OSFX_APO.h"
#include "apo/CKEL_SFX_APO.h"
#include "apo/CQOR_LFX_APO_Varion.h"
#include "apo/QORAPOEffectsList.h"
#include "apo/QORAPOEffectsWatcher.h"
#include "drivers/QORAPOIntelDriverInterface_BRW.h"
#include "endpoint/QORAPOModeSelector.h"
#include "endpoint/QORAPOPublicSettings.h"
#include "platform/QORComAggregate.h"
#include "platform/QORDriverServices.h"
#include "platform/QOREventHandle.h"
#include "platform/QORHResult.h"
#include "platform/QORWait.h"
#include "settings/QORAPOConfigurationFile.h"

namespace {

using List = std::vector<GUID>;
using qortest::AskChild;

const GUID kEq = QORAPOEffectsList::kEqualizer;
const GUID kLoudness = QORAPOEffectsList::kLoudnessEqualizer;
const GUID kBass = QORAPOEffectsList::kBassBoost;
const GUID kSurround = QORAPOEffectsList::kVirtualSurround;
const GUID kPhones = QORAPOEffectsList::kVirtualHeadphones;
const GUID kProtection = QORAPOEffectsList::kSpeakerProtection;

// Every switch the list reads is public in the speaker mode and off; in the headphone mode they
// are private and on, which must not count.
constexpr char kConfiguration[] = R"(<qor_configuration>
  <properties>
    <control name="VAPO3-Operating Mode">VAPO3-Music</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
  </properties>
  <operating_mode>
    <control name="VAPO3-Operating Mode">VAPO3-Music</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
    <control name="NUV-Process Enable" public="true">0</control>
    <control name="MFX:ZR3D-GEQ Enable" public="true">0</control>
    <control name="MFX:ZR3D-AmploHD Enable" public="true">0</control>
    <control name="ZR3D-GravHD Boost Enable" public="true">0</control>
    <control name="MFX:LUXSND-GEQ Enable" public="true">0</control>
    <control name="MFX:LUXSND-AmploHD Enable" public="true">0</control>
    <control name="LUXSND-GravHD Boost Enable" public="true">0</control>
  </operating_mode>
  <operating_mode>
    <control name="VAPO3-Operating Mode">VAPO3-Music</control>
    <control name="VAPO3-Speaker Type">VAPO3-Headphones</control>
    <control name="NUV-Process Enable">1</control>
    <control name="MFX:ZR3D-GEQ Enable">1</control>
  </operating_mode>
</qor_configuration>)";

QORComPtr<IUnknown> Create(int location) {
  QORComPtr<IUnknown> object;
  HRESULT hr = E_FAIL;
  switch (location) {
    case 0:
      hr = QORComAggregate<CQOR_LFX_APO_Varion>::Create(nullptr, IID_IUnknown, object.PutVoid());
      break;
    case 1:
      hr = QORComAggregate<CKEL_SFX_APO>::Create(nullptr, IID_IUnknown, object.PutVoid());
      break;
    case 2:
      hr = QORComAggregate<CKEL_MFX_APO>::Create(nullptr, IID_IUnknown, object.PutVoid());
      break;
    case 3:
      hr = QORComAggregate<CKEL_EFX_APO>::Create(nullptr, IID_IUnknown, object.PutVoid());
      break;
    case 4:
      hr = QORComAggregate<CKEL_OSFX_APO>::Create(nullptr, IID_IUnknown, object.PutVoid());
      break;
    default:
      hr = QORComAggregate<CKEL_OMFX_APO>::Create(nullptr, IID_IUnknown, object.PutVoid());
      break;
  }
  EXPECT_EQ(S_OK, hr);
  return object;
}

// One render object as the engine holds it for discovery.
struct Apo {
  QORComPtr<IUnknown> unknown;
  QORComPtr<IAudioSystemEffects2> effects;

  explicit Apo(int location, bool initialize = true, const GUID& mode = GUID_NULL)
      : unknown(Create(location)) {
    EXPECT_EQ(S_OK, unknown->QueryInterface(IID_IAudioSystemEffects2, effects.PutVoid()));
    if (!initialize) return;
    const QORComPtr<IMMDeviceCollection> devices = apotest::Endpoints(eRender);
    QORComPtr<IMMDevice> device;
    EXPECT_EQ(S_OK, devices->Item(0, device.Put()));
    const QORComPtr<IPropertyStore> store = apotest::StoreOf(device.Get());
    apotest::InitRecord record(store.Get(), devices.Get(), sizeof(APOInitSystemEffects2));
    record.record.InitializeForDiscoveryOnly = TRUE;
    record.record.AudioProcessingMode = mode;
    QORComPtr<IAudioProcessingObject> apo;
    EXPECT_EQ(S_OK, unknown->QueryInterface(IID_IAudioProcessingObject, apo.PutVoid()));
    EXPECT_EQ(S_OK, apo->Initialize(sizeof(APOInitSystemEffects2), record.Data()));
  }

  List Effects(IQOREvent* event = nullptr) {
    GUID* ids = reinterpret_cast<GUID*>(&ids);  // overwritten on every path
    UINT count = 77;
    EXPECT_EQ(S_OK, effects->GetEffectsList(&ids, &count, event ? QOREventHandle(event) : nullptr));
    List list(ids, ids + count);
    EXPECT_EQ(ids == nullptr, count == 0);
    CoTaskMemFree(ids);
    return list;
  }
};

class EffectsList : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::wstring path = QORUtf8ToWide(root_.Path()) + L"/config/effects.xml";
    endpoint_ = qortest::MakeEndpoint(true, path, kConfiguration);
  }
  void TearDown() override { QORDriverServices::Install(nullptr, nullptr); }

  // Stores public controls of the speaker mode as a control panel does.
  void WritePublic(const std::map<std::string, std::string>& values) {
    QORAPOConfigurationFile configuration;
    ASSERT_EQ(QORAPOConfigurationFile::kLoadOk,
              configuration.Load(endpoint_.GetConfigurationPath(), 0, 2));
    std::shared_ptr<QORAPOOperatingMode> mode;
    ASSERT_TRUE(configuration.FindOperatingMode(configuration.GetDefaultMode(), mode));
    QORAPOPublicSettings settings;
    ASSERT_TRUE(settings.Init(endpoint_, *mode));
    for (const auto& [name, value] : values) {
      ASSERT_TRUE(settings.WriteControl(QORUTSValue(name, std::string(value)))) << name;
    }
  }

  void SelectMode(const char* speakerType) {
    QORAPOModeSelector selector;
    ASSERT_TRUE(selector.Init(endpoint_, QORAPOModeIdentity("VAPO3-Music", "VAPO3-Speakers")));
    ASSERT_TRUE(selector.SetMode(QORAPOModeIdentity("VAPO3-Music", speakerType)));
  }

  qortest::TempStateRoot root_;
  QORAPOEndpointInfo endpoint_;
};

TEST_F(EffectsList, SettingsPathByPositionAndSwitch) {
  qortest::TraceCapture trace;
  // All switches off: only the endpoint effect reports anything.
  for (int location = 0; location < 6; ++location) {
    SCOPED_TRACE(location);
    EXPECT_EQ(Apo(location).Effects(), location == 3 ? List{kProtection} : List{});
  }
  EXPECT_EQ(trace.LinesContaining("Discovering DSP APO effects list.").size(), 6u);
  EXPECT_EQ(trace.LinesContaining("Return EFX Audio Effect Lists.").size(), 1u);
  // Locations 0, 2 and 5 take the MFX branch.
  EXPECT_EQ(trace.LinesContaining("Return MFX Audio Effect Lists.").size(), 3u);

  WritePublic({{"NUV-Process Enable", "1"}});
  for (int location : {1, 4}) EXPECT_EQ(Apo(location).Effects(), (List{kPhones, kEq}));
  WritePublic({{"NUV-Process Enable", "0"}});
  EXPECT_EQ(Apo(1).Effects(), List{});

  // Controls 0 and 3 give the equaliser twice; the table's order stands.
  WritePublic({{"MFX:ZR3D-GEQ Enable", "1"}, {"MFX:LUXSND-GEQ Enable", "1"}});
  for (int location : {2, 5}) EXPECT_EQ(Apo(location).Effects(), (List{kEq, kEq}));
  WritePublic({{"MFX:ZR3D-AmploHD Enable", "1"},
               {"ZR3D-GravHD Boost Enable", "1"},
               {"MFX:LUXSND-AmploHD Enable", "1"},
               {"LUXSND-GravHD Boost Enable", "1"},
               {"NUV-Process Enable", "1"}});
  EXPECT_EQ(Apo(2).Effects(), (List{kEq, kLoudness, kBass, kEq, kLoudness, kBass}));
  EXPECT_EQ(Apo(0).Effects(), List{});
  EXPECT_EQ(Apo(3).Effects(), List{kProtection});
  // Only "1" is on.
  WritePublic({{"MFX:ZR3D-GEQ Enable", "01"}, {"MFX:LUXSND-GEQ Enable", "true"}});
  EXPECT_EQ(Apo(2).Effects(), (List{kLoudness, kBass, kLoudness, kBass}));

  // The current mode decides; its private controls are no switches.
  SelectMode("VAPO3-Headphones");
  for (int location = 0; location < 6; ++location) {
    EXPECT_EQ(Apo(location).Effects(), location == 3 ? List{kProtection} : List{}) << location;
  }
}

TEST_F(EffectsList, RawModeOrAnUnknownEndpointGiveAnEmptyList) {
  WritePublic({{"NUV-Process Enable", "1"}, {"MFX:ZR3D-GEQ Enable", "1"}});
  for (int location = 0; location < 6; ++location) {
    SCOPED_TRACE(location);
    EXPECT_EQ(Apo(location, true, QORAPOEffectsList::kRawMode).Effects(), List{});
    EXPECT_EQ(Apo(location, false).Effects(), List{});  // never initialised: no endpoint GUID
  }
  // A known endpoint GUID in other letter case is the same endpoint.
  EXPECT_EQ(QORAPOEffectsList::FromSettings(3, GUID_NULL,
                                            QORGuidToString(qortest::EndpointId(true), true)),
            List{kProtection});
  EXPECT_EQ(
      QORAPOEffectsList::FromSettings(3, GUID_NULL, L"{00000000-0000-0000-0000-000000000001}"),
      List{});
}

TEST_F(EffectsList, TheExampleConfigurationListsItsMixEffects) {
  const std::wstring path = QORUtf8ToWide(root_.Path()) + L"/config/laptop.xml";
  endpoint_ = qortest::MakeEndpoint(true, path, apotest::ReadExample());
  EXPECT_EQ(Apo(2).Effects(), (List{kEq, kLoudness, kBass}));
  EXPECT_EQ(Apo(1).Effects(), List{});
  SelectMode("VAPO3-Headphones");
  EXPECT_EQ(Apo(2).Effects(), (List{kEq, kBass}));
  EXPECT_EQ(Apo(1).Effects(), (List{kPhones, kEq}));
  QORAPOModeSelector selector;
  ASSERT_TRUE(selector.Init(endpoint_, QORAPOModeIdentity("VAPO3-Music", "VAPO3-Speakers")));
  ASSERT_TRUE(selector.SetMode(QORAPOModeIdentity("VAPO3-Movie", "VAPO3-Speakers")));
  EXPECT_EQ(Apo(5).Effects(), (List{kEq, kLoudness, kBass}));
}

TEST_F(EffectsList, CallerPointersAndHandles) {
  Apo apo(3);
  GUID* ids = reinterpret_cast<GUID*>(&ids);
  UINT count = 5;
  EXPECT_EQ(E_POINTER, apo.effects->GetEffectsList(nullptr, &count, nullptr));
  EXPECT_EQ(E_POINTER, apo.effects->GetEffectsList(&ids, nullptr, nullptr));
  EXPECT_EQ(count, 5u);
  // A handle that names no event: the platform's error, empty outputs, and no watcher holds the
  // control-change event any more.
  ASSERT_EQ(List{kProtection}, apo.Effects());
  EXPECT_NE(QOROpenNamedEvent(QORAPOEffectsWatcher::kControlChangeEvent), nullptr);
  int notAnEvent = 0;
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE),
            apo.effects->GetEffectsList(&ids, &count, &notAnEvent));
  EXPECT_EQ(ids, nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(QOROpenNamedEvent(QORAPOEffectsWatcher::kControlChangeEvent), nullptr);
}

// The engine's event hears a value written under the watched key, in an existing subkey and in
// a subkey made after the call, and the named event, each from another process.
TEST_F(EffectsList, ChangesElsewhereSignalTheEnginesEventWithin100ms) {
  qortest::ChildProcess child;
  ASSERT_TRUE(qortest::StartRegistryChangeChild(child));
  const std::unique_ptr<IQOREvent> engine = QORCreateEvent(false, false);
  Apo apo(2);
  ASSERT_EQ(List{}, apo.Effects(engine.get()));
  EXPECT_NE(kQORWaitObject0, QORWaitForSingle(*engine, 0));  // the query itself changes nothing
  const std::string key = "Software\\QOR Labs\\APO";
  const std::string subkey = key + "\\" + QORWideToUtf8(endpoint_.GetEndpointGuidText());
  for (const std::string& change :
       {"set|" + key + "|Written", "set|" + subkey + "|Written", "set|" + key + "\\New\\Deep|W",
        "set|" + key + "\\New\\Deep|Again", std::string("signal|Global\\DSPKELControlChangeEvent"),
        "delete|" + key + "\\New"}) {
    SCOPED_TRACE(change);
    ASSERT_TRUE(AskChild(child, change));
    EXPECT_EQ(kQORWaitObject0, QORWaitForSingle(*engine, 100));
  }
  // A control panel's write of a public switch reaches the engine, and the list follows it.
  WritePublic({{"MFX:LUXSND-GEQ Enable", "1"}});
  EXPECT_EQ(kQORWaitObject0, QORWaitForSingle(*engine, 100));
  EXPECT_EQ(List{kEq}, apo.Effects(engine.get()));
}

TEST_F(EffectsList, ANewEventReplacesTheOldOneWhichTheEngineMayClose) {
  qortest::ChildProcess child;
  ASSERT_TRUE(qortest::StartRegistryChangeChild(child));
  Apo apo(3);
  std::unique_ptr<IQOREvent> first = QORCreateEvent(false, false);
  const std::unique_ptr<IQOREvent> second = QORCreateEvent(false, false);
  ASSERT_EQ(List{kProtection}, apo.Effects(first.get()));
  ASSERT_EQ(List{kProtection}, apo.Effects(second.get()));
  ASSERT_TRUE(AskChild(child, "signal|Global\\DSPKELControlChangeEvent"));
  EXPECT_EQ(kQORWaitObject0, QORWaitForSingle(*second, 100));
  EXPECT_EQ(kQORWaitTimeout, QORWaitForSingle(*first, 0));

  // The object holds a handle of its own: the engine may close the one it passed.
  std::unique_ptr<IQOREvent> engineCopy;
  ASSERT_EQ(ERROR_SUCCESS, QORDuplicateEvent(QOREventHandle(first.get()), &engineCopy));
  ASSERT_EQ(List{kProtection}, apo.Effects(first.get()));
  first.reset();
  ASSERT_TRUE(AskChild(child, "set|Software\\QOR Labs\\APO|Closed"));
  EXPECT_EQ(kQORWaitObject0, QORWaitForSingle(*engineCopy, 100));
  EXPECT_EQ(kQORWaitTimeout, QORWaitForSingle(*second, 0));

  // No event: the watcher runs but signals nothing; the object's release ends it.
  ASSERT_EQ(List{kProtection}, apo.Effects(nullptr));
  ASSERT_TRUE(AskChild(child, "signal|Global\\DSPKELControlChangeEvent"));
  ASSERT_TRUE(AskChild(child, "set|Software\\QOR Labs\\APO|Nobody"));
  EXPECT_EQ(kQORWaitTimeout, QORWaitForSingle(*engineCopy, 0));
  const auto start = std::chrono::steady_clock::now();
  apo.effects.Reset();
  apo.unknown.Reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(QOROpenNamedEvent(QORAPOEffectsWatcher::kControlChangeEvent), nullptr);
}

TEST(EffectsListWithoutKey, TheNamedEventStillCountsAndTheKeyIsFoundWhenMade) {
  qortest::TempStateRoot root;
  qortest::ChildProcess child;
  ASSERT_TRUE(qortest::StartRegistryChangeChild(child));
  const std::unique_ptr<IQOREvent> engine = QORCreateEvent(false, false);
  Apo apo(3, false);
  ASSERT_EQ(List{}, apo.Effects(engine.get()));
  ASSERT_TRUE(AskChild(child, "signal|Global\\DSPKELControlChangeEvent"));
  EXPECT_EQ(kQORWaitObject0, QORWaitForSingle(*engine, 100));
  ASSERT_TRUE(AskChild(child, "create|Software\\QOR Labs\\APO"));
  // The missing key is looked for again about once a second; from then on it is watched.
  bool heard = false;
  for (int attempt = 0; attempt < 50 && !heard; ++attempt) {
    ASSERT_TRUE(AskChild(child, "set|Software\\QOR Labs\\APO|Made"));
    heard = QORWaitForSingle(*engine, 100) == kQORWaitObject0;
  }
  EXPECT_TRUE(heard);
}

class EffectsListDrivers : public EffectsList {
 protected:
  void SetUp() override {
    EffectsList::SetUp();
    broadwell_.interfaceClass = QORAPOIntelDriverInterface_BRW::kInterfaceClass;
    broadwell_.devices = {{L"\\\\?\\intel#sst#0", true}};
  }
  static std::vector<uint8_t> Words(std::initializer_list<std::pair<size_t, uint32_t>> words,
                                    size_t size) {
    std::vector<uint8_t> bytes(size, 0);
    for (const auto& [at, word] : words) std::memcpy(bytes.data() + at, &word, 4);
    return bytes;
  }

  qortest::FakeDeviceInterfaces broadwell_;
  qortest::FakeDeviceTopology skylake_;
};

TEST_F(EffectsListDrivers, BroadwellLuxSndDecidesFromItsParameters) {
  QORDriverServices::Install(&broadwell_, &skylake_);
  qortest::TraceCapture trace;
  // Nothing enabled: the driver decides, so even EFX lists nothing.
  EXPECT_EQ(Apo(3).Effects(), List{});
  EXPECT_EQ(Apo(2).Effects(), List{});
  EXPECT_EQ(trace.LinesContaining("Broadwell driver status=0x0").size(), 2u);
  EXPECT_EQ(trace.LinesContaining("KELAPO GetEffectList() EFX.").size(), 1u);
  EXPECT_EQ(trace.LinesContaining("KELAPO GetEffectList() MFX.").size(), 1u);
  EXPECT_TRUE(trace.LinesContaining("Skylake driver status").empty());
  EXPECT_TRUE(skylake_.Requests().empty());

  // Either query gives speaker protection at EFX; a failing status counts as off.
  broadwell_.parameters[22] = Words({{0, 1}}, 8);
  EXPECT_EQ(Apo(3).Effects(), List{kProtection});
  broadwell_.parameters.erase(22);
  broadwell_.parameters[5] = Words({{0, 1}}, 4);
  EXPECT_EQ(Apo(3).Effects(), List{kProtection});
  broadwell_.parameterStatus[5] = 1;
  EXPECT_EQ(Apo(3).Effects(), List{});
  broadwell_.parameterStatus.clear();

  broadwell_.parameters[6] = Words({{0, 1}}, 4);
  broadwell_.parameters[20] = Words({{0, 7}}, 12);
  broadwell_.parameters[21] = Words({{0, 1}, {48, 1}}, 92);
  for (int location : {0, 1, 2, 4, 5}) {
    EXPECT_EQ(Apo(location).Effects(), (List{kEq, kProtection, kBass, kLoudness, kSurround}))
        << location;
  }
  // Word 48 without word 0 is no bass boost; word 0 alone is virtual surround only.
  broadwell_.parameters[21] = Words({{48, 1}}, 92);
  EXPECT_EQ(Apo(2).Effects(), (List{kEq, kProtection, kLoudness}));
  broadwell_.parameters[21] = Words({{0, 1}}, 92);
  EXPECT_EQ(Apo(2).Effects(), (List{kEq, kProtection, kLoudness, kSurround}));
  // Answers stating more than the caller's buffer holds are not taken.
  broadwell_.overrideStatedSize = true;
  broadwell_.statedSize = 93;
  EXPECT_EQ(Apo(2).Effects(), List{});
}

TEST_F(EffectsListDrivers, BroadwellThatDoesNotCountLeavesItToSkylakeOrTheSettings) {
  WritePublic({{"MFX:ZR3D-AmploHD Enable", "1"}});
  QORDriverServices::Install(&broadwell_, nullptr);
  qortest::TraceCapture trace;
  broadwell_.moduleName = "LuxSnd02";
  EXPECT_EQ(Apo(2).Effects(), List{kLoudness});
  broadwell_.moduleName = "LuxSnd01";
  broadwell_.moduleStatus = 1;
  EXPECT_EQ(Apo(2).Effects(), List{kLoudness});
  broadwell_.moduleStatus = 0;
  broadwell_.setStatusAnswer = 5;
  EXPECT_EQ(Apo(2).Effects(), List{kLoudness});
  EXPECT_EQ(trace.LinesContaining("Broadwell driver status=0x5").size(), 1u);
  broadwell_.setStatusAnswer = 0;
  broadwell_.devices[0].openable = false;
  EXPECT_EQ(Apo(2).Effects(), List{kLoudness});
  EXPECT_EQ(trace.LinesContaining("Broadwell driver status=0x80004005").size(), 1u);
  EXPECT_EQ(trace.LinesContaining("Return MFX Audio Effect Lists.").size(), 4u);
}

TEST_F(EffectsListDrivers, SkylakeDecidesFromItsParameters) {
  QORDriverServices::Install(nullptr, &skylake_);
  qortest::TraceCapture trace;
  EXPECT_EQ(Apo(3).Effects(), List{});
  skylake_.parameters[0x1001440B] = Words({{0, 1}}, 8);
  EXPECT_EQ(Apo(3).Effects(), List{kProtection});
  skylake_.parameters.clear();
  skylake_.parameters[0x10014405] = Words({{16, 1}}, 28);
  EXPECT_EQ(Apo(3).Effects(), List{kProtection});
  EXPECT_EQ(trace.LinesContaining("Skylake driver status=0x0").size(), 3u);
  EXPECT_EQ(trace.LinesContaining("KELAPO GetEffectList() EFX.").size(), 3u);

  skylake_.parameters[0x10014407] = Words({{0, 1}}, 16);
  skylake_.parameters[0x10014404] = Words({{0, 1}}, 40);
  skylake_.parameters[0x10014402] = Words({{0, 1}}, 12);
  EXPECT_EQ(Apo(2).Effects(), (List{kEq, kProtection, kBass, kLoudness}));
  skylake_.parameters[0x10014405] = Words({{0, 1}}, 28);
  EXPECT_EQ(Apo(1).Effects(), (List{kEq, kBass, kLoudness, kSurround}));
  // An answer larger than the caller's buffer is not copied: that query is off.
  skylake_.parameters[0x10014402] = Words({{0, 1}}, 16);
  EXPECT_EQ(Apo(1).Effects(), (List{kEq, kBass, kSurround}));
}

TEST_F(EffectsListDrivers, SkylakeThatIsAbandonedOrLacksTheModuleLeavesItToTheSettings) {
  WritePublic({{"NUV-Process Enable", "1"}});
  QORDriverServices::Install(nullptr, &skylake_);
  skylake_.parameters[0x1001440B] = Words({{0, 1}}, 8);
  qortest::TraceCapture trace;
  skylake_.version[0] = 2;
  EXPECT_EQ(Apo(1).Effects(), (List{kPhones, kEq}));
  skylake_.version[0] = 1;
  skylake_.modules.resize(1);  // only another module
  EXPECT_EQ(Apo(1).Effects(), (List{kPhones, kEq}));
  EXPECT_TRUE(trace.LinesContaining("Skylake driver status=0x0").empty());
  // No device of either kind, the default backends: the settings path.
  QORDriverServices::Install(nullptr, nullptr);
  EXPECT_EQ(Apo(1).Effects(), (List{kPhones, kEq}));
  EXPECT_EQ(trace.LinesContaining("Broadwell driver status=0x80004005").size(), 3u);
}

}  // namespace
