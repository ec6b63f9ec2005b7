#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "TempStateRoot.h"
#include "common/QORPathConvert.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORGuid.h"
#include "platform/QORKnownFolders.h"
#include "platform/QORMMDevice.h"
#include "platform/QORRegistryKey.h"

// The endpoint record filled from the endpoint's registry keys alone.
namespace {

using Values = std::vector<std::pair<std::wstring, std::wstring>>;

constexpr GUID kId = {0x1E2D3C4B, 0x5A69, 0x4788, {0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0, 0x0F}};
const std::wstring kMaker = L"{7A8B74C8-FA66-4460-8542-D6119C59E9D4},";
const std::wstring kFx = L"{d04e05a6-594b-4fb6-a80d-01af5eed7d1d},";
const std::wstring kClassA = L"{A0000000-0000-4000-8000-00000000000A}";
const std::wstring kClassB = L"{B0000000-0000-4000-8000-00000000000B}";
const std::wstring kClassC = L"{C0000000-0000-4000-8000-00000000000C}";
const Values kSubsystem = {{L"{a8b865dd-2e3d-4094-ad97-e593a70c75d6},3",
                            L"hdaudio\\func_01&ven_10ec&dev_0269&subsys_abcd1234"},
                           {kMaker + L"4", L"preset"}};

std::wstring Folder(const GUID& id) {
  std::wstring path;
  EXPECT_EQ(QORKnownFolders::GetPath(id, &path), S_OK);
  return path + L"\\QOR Labs\\APO";
}

void Write(const std::wstring& path, const Values& values) {
  QORRegistryKey key;
  ASSERT_EQ(QORRegistryKey::Create(QORRegistryHive::kLocalMachine, path, KEY_ALL_ACCESS, key), 0u);
  for (const auto& [name, value] : values) key.SetString(name, value);
}

Values Join(Values a, const Values& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(QORAPOEndpointInfo, RefreshTakesKeysInTheirOrderAndFallsBackToDefaults) {
  const std::wstring id = QORGuidToString(kId);
  const std::wstring defaultSubkey = L"Software\\QOR Labs\\APO\\" + id;
  const std::wstring one = L"Software\\Maker\\One", sub = L"Software\\Second\\Sub";
  const std::wstring mine = L"C:\\mine.xml";
  const Values maker = {{kMaker + L"0", one}, {kMaker + L"1", L"C:\\Data"}, {kMaker + L"2", mine}};
  const Values later = {{kFx + L"1", kClassA},  {kFx + L"5", kClassA},
                        {kFx + L"13", kClassB}, {kFx + L"6", kClassC},
                        {kFx + L"15", kClassC}, {kFx + L"11", L"not a class"},
                        {kFx + L"12", kClassB}};
  const Values sfx = {{kFx + L"5", kClassA}}, pre = {{kFx + L"1", kClassA}};
  const Values second = {{kMaker + L"5", L"SOFTWARE\\Second"}, {kMaker + L"2", mine}};
  const Values secondKey = {{kMaker + L"2", L"C:\\other.xml"}, {kMaker + L"0", sub}};
  const wchar_t *k81 = L"presets_ABCD1234_81.xml", *kPlain = L"presets_ABCD1234.xml";
  using Positions = std::array<std::wstring, 6>;
  const Positions none, sfxOnly = {L"", kClassA}, preOnly = {kClassA};
  const Positions laterOnes = {kClassA, kClassB, kClassC, kClassC, L"", kClassB};
  const std::wstring& dflt = defaultSubkey;
  struct Row {
    const char* what;
    bool render;
    Values properties, fx, secondary;
    const wchar_t* presetFile;  // created in the data folder when set
    // configuration: empty for the default, a bare file name for one in the data folder
    std::wstring subkey, configuration;
    Positions positions;
    std::wstring dataFolder = L"";  // empty: the default
  } rows[] = {{"nothing of the maker's", true, {}, {}, {}, nullptr, dflt, L"", none},
              {"maker's properties", true, maker, {}, {}, nullptr, one, mine, none, L"C:\\Data"},
              {"later ids win", true, {}, later, {}, nullptr, dflt, L"", laterOnes},
              {"preset, a class", true, kSubsystem, sfx, {}, k81, dflt, k81, sfxOnly},
              {"preset, no class", true, kSubsystem, pre, {}, kPlain, dflt, kPlain, preOnly},
              {"other preset only", true, kSubsystem, sfx, {}, kPlain, dflt, L"", sfxOnly},
              {"capture, no preset", false, kSubsystem, sfx, {}, k81, dflt, L"", sfxOnly},
              {"no maker's flag", true, {kSubsystem[0]}, sfx, {}, k81, dflt, L"", sfxOnly},
              {"secondary key", true, second, {}, secondKey, nullptr, sub, mine, none}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    qortest::TempStateRoot root;
    const EDataFlow flow = row.render ? eRender : eCapture;
    ASSERT_EQ(QOREndpointStore::Add(flow, kId, L"Speakers", DEVICE_STATE_ACTIVE), S_OK);
    const std::wstring key = QOREndpointStore::EndpointKeyPath(flow, kId);
    Write(key + L"\\Properties",
          Join(row.properties, {{L"{b3f8fa53-0004-438e-9003-51a46e139bfc},6", L"Codec"},
                                {L"{a45c254e-df1c-4efd-8020-67d146a850e0},2", L"Speakers"}}));
    if (!row.fx.empty()) Write(key + L"\\FxProperties", row.fx);
    if (!row.secondary.empty()) Write(L"SOFTWARE\\Second", row.secondary);
    const std::wstring data = Folder(FOLDERID_ProgramData);
    if (row.presetFile != nullptr) {
      std::filesystem::create_directories(QORPathConvert::ToNative(data));
      std::ofstream(QORPathConvert::ToNative(data + L"\\" + row.presetFile)) << "<x/>";
    }

    QORComPtr<IMMDevice> device;
    ASSERT_EQ(QORMMDevice::Create(flow, kId, device.Put()), S_OK);
    QORAPOEndpointInfo info;
    ASSERT_TRUE(info.Init(device.Get(), row.render));
    EXPECT_EQ(info.GetEndpointGuid(), kId);
    EXPECT_EQ(info.GetDeviceId(), QOREndpointStore::MakeId(flow, kId));
    EXPECT_EQ(info.IsRender(), row.render);
    EXPECT_EQ(info.GetDisplayName(), L"Codec Speakers");
    EXPECT_EQ(info.GetRegistrySubkey(), row.subkey);
    const std::wstring defaultConfiguration =
        Folder(FOLDERID_ProgramFiles) + L"\\qor_apo_config.xml";
    std::wstring configuration = data + L"\\" + row.configuration;
    if (row.configuration.empty()) configuration = defaultConfiguration;
    if (row.configuration.starts_with(L"C:")) configuration = row.configuration;
    EXPECT_EQ(info.GetConfigurationPath(), configuration);
    EXPECT_EQ(info.GetDataFolder(), row.dataFolder.empty() ? data : row.dataFolder);
    for (int location = 0; location < 6; ++location) {
      GUID expected = GUID_NULL;
      if (!row.positions[location].empty()) {
        ASSERT_EQ(CLSIDFromString(row.positions[location].c_str(), &expected), S_OK);
      }
      EXPECT_EQ(info.GetPosition(location).guid, expected) << location;
      EXPECT_EQ(info.GetPosition(location).text.empty(), expected == GUID_NULL) << location;
    }
    // A copy keeps everything but what belongs to the refresh.
    const QORAPOEndpointInfo copy = info;
    EXPECT_EQ(copy.GetRegistrySubkey(), info.GetRegistrySubkey());
    EXPECT_EQ(copy.GetConfigurationPath(), info.GetConfigurationPath());
    EXPECT_EQ(copy.GetPosition(1).guid, info.GetPosition(1).guid);
    EXPECT_EQ(copy.GetDevice(), device.Get());
    EXPECT_TRUE(copy.GetSecondaryKeyPath().empty());
    // Clearing keeps nothing but the render direction.
    info.Clear();
    EXPECT_EQ(info.GetDevice(), nullptr);
    EXPECT_TRUE(info.IsRender());
    EXPECT_TRUE(info.GetRegistrySubkey().empty() && info.GetConfigurationPath().empty());
    EXPECT_EQ(info.GetPosition(1).guid, GUID_NULL);
    EXPECT_FALSE(info.Refresh());
  }
}

}  // namespace
