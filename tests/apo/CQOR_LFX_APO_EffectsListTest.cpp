#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "APOTestSupport.h"
#include "FakeDeviceInterfaces.h"
#include "FakeDeviceTopology.h"
#include "RegistryChangeChild.h"
#include "apo/CKEL_EFX_APO.h"
#include "apo/CKEL_MFX_APO.h"
#include "apo/CKEL_OMFX_APO.h"
#include "apo/CKEL_OSFX_APO.h"
#include "apo/CKEL_SFX_APO.h"
#include "apo/CQOR_LFX_APO_Varion.h"
#include "apo/QORAPOEffectsList.h"
#include "apo/QORAPOEffectsWatcher.h"
#include "drivers/QORAPOIntelDriverInterface_BRW.h"
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
using E = QORAPOEffectsList;

const GUID kEq = E::kEqualizer, kLoudness = E::kLoudnessEqualizer, kBass = E::kBassBoost;
const GUID kSurround = E::kVirtualSurround, kPhones = E::kVirtualHeadphones;
const GUID kProtection = E::kSpeakerProtection;

// Every switch the list reads, public and off.
constexpr char kConfiguration[] = R"(<qor_configuration>
  <properties><control name="VAPO3-Operating Mode">VAPO3-Music</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control></properties>
  <operating_mode><control name="VAPO3-Operating Mode">VAPO3-Music</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
    <control name="NUV-Process Enable" public="true">0</control>
    <control name="MFX:ZR3D-GEQ Enable" public="true">0</control>
    <control name="MFX:ZR3D-AmploHD Enable" public="true">0</control>
    <control name="ZR3D-GravHD Boost Enable" public="true">0</control>
    <control name="MFX:LUXSND-GEQ Enable" public="true">0</control>
    <control name="MFX:LUXSND-AmploHD Enable" public="true">0</control>
    <control name="LUXSND-GravHD Boost Enable" public="true">0</control>
  </operating_mode></qor_configuration>)";

HRESULT(*const kFactories[])
(IUnknown*, REFIID, void**) = {
    &QORComAggregate<CQOR_LFX_APO_Varion>::Create<>, &QORComAggregate<CKEL_SFX_APO>::Create<>,
    &QORComAggregate<CKEL_MFX_APO>::Create<>,        &QORComAggregate<CKEL_EFX_APO>::Create<>,
    &QORComAggregate<CKEL_OSFX_APO>::Create<>,       &QORComAggregate<CKEL_OMFX_APO>::Create<>};

// One render object as the engine holds it for discovery.
struct Apo {
  QORComPtr<IAudioSystemEffects2> effects;
  explicit Apo(int location, bool initialize = true, const GUID& mode = GUID_NULL) {
    QORComPtr<IAudioProcessingObject> apo;
    EXPECT_EQ(S_OK, kFactories[location](nullptr, IID_IAudioProcessingObject, apo.PutVoid()));
    EXPECT_EQ(S_OK, apo->QueryInterface(IID_IAudioSystemEffects2, effects.PutVoid()));
    const apotest::Endpoint endpoint(eRender);
    apotest::InitRecord init(endpoint.store.Get(), endpoint.devices.Get(),
                             sizeof(APOInitSystemEffects2));
    init.record.InitializeForDiscoveryOnly = TRUE;
    init.record.AudioProcessingMode = mode;
    if (!initialize) return;
    EXPECT_EQ(S_OK, apo->Initialize(sizeof(APOInitSystemEffects2), init.Data()));
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

  // Stores public controls of the speaker mode ("name=value,...") as a control panel does.
  void WritePublic(const std::string& assignments) {
    QORAPOConfigurationFile configuration;
    ASSERT_EQ(QORAPOConfigurationFile::kLoadOk,
              configuration.Load(endpoint_.GetConfigurationPath(), 0, 2));
    std::shared_ptr<QORAPOOperatingMode> mode;
    ASSERT_TRUE(configuration.FindOperatingMode(configuration.GetDefaultMode(), mode));
    QORAPOPublicSettings settings;
    ASSERT_TRUE(settings.Init(endpoint_, *mode));
    std::istringstream list(assignments);
    for (std::string name, value;
         std::getline(list, name, '=') && std::getline(list, value, ',');) {
      ASSERT_TRUE(settings.WriteControl(QORUTSValue(name, std::string(value)))) << name;
    }
  }

  qortest::TempStateRoot root_;
  QORAPOEndpointInfo endpoint_;
};

// Only "1" is on, and the table's order stands, repeats included.
TEST_F(EffectsList, SettingsPathByPositionAndSwitch) {
  const struct {
    std::string writes;
    std::vector<int> locations;
    List expected;
  } cases[] = {
      {"", {3}, {kProtection}},
      {"NUV-Process Enable=1", {1, 4}, {kPhones, kEq}},
      {"MFX:ZR3D-GEQ Enable=1,MFX:LUXSND-GEQ Enable=1", {2, 5}, {kEq, kEq}},
      {"MFX:ZR3D-GEQ Enable=01,MFX:LUXSND-GEQ Enable=true,LUXSND-GravHD Boost Enable=1",
       {2},
       {kBass}},
  };
  for (const auto& c : cases) {
    WritePublic(c.writes);
    for (int location : c.locations) EXPECT_EQ(Apo(location).Effects(), c.expected) << location;
  }
  // Raw mode, or no endpoint GUID (not initialised for discovery): nothing.
  for (int location = 0; location < 6; ++location) {
    EXPECT_EQ(Apo(location, true, E::kRawMode).Effects(), List{}) << location;
    EXPECT_EQ(Apo(location, false).Effects(), List{}) << location;
  }
  // The GUID's text in other letter case names the same endpoint.
  const std::wstring lower = QORGuidToString(qortest::EndpointId(true), true);
  EXPECT_EQ(E::FromSettings(3, GUID_NULL, lower), List{kProtection});
}

// From another process: values under the watched key, in an existing subkey and in subkeys made
// after the call, and the named event. A second call's event replaces the first, and the object
// signals its own handle, so the engine may close the one it passed, named or not.
TEST_F(EffectsList, ChangesElsewhereSignalOnlyTheLatestEventWithin100ms) {
  qortest::ChildProcess child;
  ASSERT_TRUE(qortest::StartRegistryChangeChild(child));
  std::unique_ptr<IQOREvent> first = QORCreateNamedEvent(L"Global\\EngineEvent", false, false);
  const std::unique_ptr<IQOREvent> engine = QORCreateEvent(false, false);
  Apo apo(2);
  ASSERT_EQ(List{}, apo.Effects(first.get()));
  std::unique_ptr<IQOREvent> copy;
  ASSERT_EQ(ERROR_SUCCESS, QORDuplicateEvent(QOREventHandle(first.get()), &copy));
  first.reset();
  const std::string key = "Software\\QOR Labs\\APO";
  ASSERT_TRUE(AskChild(child, "set|" + key + "|Closed"));
  EXPECT_EQ(kQORWaitObject0, QORWaitForSingle(*copy, 100));
  ASSERT_EQ(List{}, apo.Effects(engine.get()));
  const std::string subkey = key + "\\" + QORWideToUtf8(endpoint_.GetEndpointGuidText());
  const std::string signal = "signal|Global\\DSPKELControlChangeEvent";
  for (const std::string& change :
       {"set|" + key + "|Written", "set|" + subkey + "|Written", "set|" + key + "\\New\\Deep|W",
        "set|" + key + "\\New\\Deep|Again", signal, "delete|" + key + "\\New"}) {
    ASSERT_TRUE(AskChild(child, change));
    EXPECT_EQ(kQORWaitObject0, QORWaitForSingle(*engine, 100)) << change;
  }
  EXPECT_EQ(kQORWaitTimeout, QORWaitForSingle(*copy, 0));
  // One signal of the named event reaches every object of the process, even a new one's.
  {
    const std::unique_ptr<IQOREvent> otherEngine = QORCreateEvent(false, false);
    Apo other(3);
    ASSERT_EQ(List{kProtection}, other.Effects(otherEngine.get()));
    ASSERT_TRUE(AskChild(child, signal));
    EXPECT_EQ(kQORWaitObject0, QORWaitForSingle(*engine, 100));
    EXPECT_EQ(kQORWaitObject0, QORWaitForSingle(*otherEngine, 100));
  }
  // A handle that names no event, or a closed one: the platform's error, empty outputs, and no
  // watcher left holding the control-change event.
  int notAnEvent = 0;
  for (const bool closed : {false, true}) {
    ASSERT_EQ(List{}, apo.Effects(engine.get()));
    GUID* ids = reinterpret_cast<GUID*>(&ids);
    UINT count = 5;
    const HANDLE handle = closed ? QOREventHandle(QORCreateEvent(false, false).get()) : &notAnEvent;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE),
              apo.effects->GetEffectsList(&ids, &count, handle));
    EXPECT_TRUE(ids == nullptr && count == 0);
    EXPECT_EQ(QOROpenNamedEvent(QORAPOEffectsWatcher::kControlChangeEvent), nullptr);
  }
  // Before the key exists the named event still counts; the key is looked for again each second.
  ASSERT_TRUE(AskChild(child, "delete|" + key));
  Apo late(3, false);
  ASSERT_EQ(List{}, late.Effects(engine.get()));
  ASSERT_TRUE(AskChild(child, signal));
  EXPECT_EQ(kQORWaitObject0, QORWaitForSingle(*engine, 100));
  bool heard = false;
  for (int attempt = 0; attempt < 50 && !heard; ++attempt) {
    ASSERT_TRUE(AskChild(child, "set|" + key + "|Made"));
    heard = QORWaitForSingle(*engine, 100) == kQORWaitObject0;
  }
  EXPECT_TRUE(heard);
}

std::vector<uint8_t> Words(std::initializer_list<std::pair<size_t, uint32_t>> words, size_t size) {
  std::vector<uint8_t> bytes(size, 0);
  for (const auto& [at, word] : words) std::memcpy(bytes.data() + at, &word, 4);
  return bytes;
}

// The driver that counts decides the list, even an empty one; one that does not count leaves it
// to the next, and last to the settings (here: MFX loudness, SFX headphones and equaliser).
TEST_F(EffectsList, DriversDecideFromTheirParameters) {
  WritePublic("MFX:ZR3D-AmploHD Enable=1,NUV-Process Enable=1");
  qortest::FakeDeviceInterfaces broadwell;
  broadwell.interfaceClass = QORAPOIntelDriverInterface_BRW::kInterfaceClass;
  broadwell.devices = {{L"\\\\?\\intel#sst#0", true}};
  qortest::FakeDeviceTopology skylake;
  QORDriverServices::Install(&broadwell, &skylake);
  EXPECT_EQ(Apo(3).Effects(), List{});
  EXPECT_EQ(Apo(2).Effects(), List{});
  EXPECT_TRUE(skylake.Requests().empty());
  broadwell.parameters = {{5, Words({{0, 1}}, 4)}, {6, Words({{0, 1}}, 4)}};
  broadwell.parameters[20] = Words({{0, 7}}, 12);
  broadwell.parameters[21] = Words({{0, 1}, {48, 1}}, 92);
  EXPECT_EQ(Apo(3).Effects(), List{kProtection});
  for (int location : {0, 1, 2, 4, 5}) {
    EXPECT_EQ(Apo(location).Effects(), (List{kEq, kProtection, kBass, kLoudness, kSurround}));
  }
  broadwell.parameters[21] = Words({{48, 1}}, 92);  // word 48 counts only with word 0
  EXPECT_EQ(Apo(2).Effects(), (List{kEq, kProtection, kLoudness}));
  broadwell.moduleName = "LuxSnd02";
  EXPECT_EQ(Apo(3).Effects(), List{});
  skylake.parameters[0x1001440B] = Words({{0, 1}}, 8);
  EXPECT_EQ(Apo(3).Effects(), List{kProtection});
  skylake.parameters = {{0x10014405, Words({{16, 1}}, 28)}};
  EXPECT_EQ(Apo(3).Effects(), List{kProtection});
  skylake.parameters[0x10014407] = Words({{0, 1}}, 16);
  skylake.parameters[0x10014404] = Words({{0, 1}}, 40);
  skylake.parameters[0x10014402] = Words({{0, 1}}, 12);
  EXPECT_EQ(Apo(2).Effects(), (List{kEq, kProtection, kBass, kLoudness}));
  skylake.parameters[0x10014405] = Words({{0, 1}}, 28);
  EXPECT_EQ(Apo(1).Effects(), (List{kEq, kBass, kLoudness, kSurround}));
  skylake.parameters[0x10014402] = Words({{0, 1}}, 16);  // larger than the caller's 12 bytes
  EXPECT_EQ(Apo(1).Effects(), (List{kEq, kBass, kSurround}));
  // Version byte 2, no module in the list, a failing module status, no device: settings decide.
  skylake.version[0] = 2;
  EXPECT_EQ(Apo(1).Effects(), (List{kPhones, kEq}));
  skylake.version[0] = 1;
  skylake.modules.resize(1);
  EXPECT_EQ(Apo(1).Effects(), (List{kPhones, kEq}));
  broadwell.moduleName = "LuxSnd01";
  broadwell.moduleStatus = 1;
  EXPECT_EQ(Apo(2).Effects(), List{kLoudness});
  QORDriverServices::Install(nullptr, nullptr);
  EXPECT_EQ(Apo(1).Effects(), (List{kPhones, kEq}));
}

}  // namespace
