#include "QORHostEndpointSetup.h"

#include <algorithm>
#include <cctype>
#include <random>
#include <utility>

#include "QORHostProcessCommand.h"
#include "common/QORTextConvert.h"
#include "platform/QORComPtr.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORMMDevice.h"
#include "platform/QORPropertyKey.h"
#include "platform/QORRegistryKey.h"
#include "settings/QORAPOConfigurationFile.h"

namespace {

// Class ids of the module's render classes, locations 0 to 5.
constexpr CLSID kClasses[QORAPOEndpointInfo::kPositionCount] = {
    {0xCB0EAF7D, 0x3991, 0x4921, {0xAA, 0x30, 0xCD, 0x32, 0x79, 0x8E, 0xDC, 0x3A}},
    {0x1B917FE2, 0x47D1, 0x425D, {0xA2, 0x6E, 0xAF, 0xCD, 0xBD, 0xA7, 0xA2, 0xE8}},
    {0x5B98E1AC, 0xA670, 0x4311, {0xB4, 0xF8, 0xDC, 0x25, 0xE3, 0x0C, 0xFB, 0xFF}},
    {0x93520346, 0xFA48, 0x4F56, {0x8C, 0xB0, 0xD9, 0x2C, 0xC1, 0x77, 0x5E, 0x37}},
    {0x42E82F48, 0x20E9, 0x4B35, {0x96, 0x2A, 0x44, 0x39, 0x05, 0x96, 0x70, 0xD4}},
    {0x272B9432, 0x8AFD, 0x4935, {0x84, 0xB4, 0xA7, 0x7C, 0xFA, 0x09, 0x81, 0x5E}}};

// The module's capture class, registered at the demonstration microphone's local-effect position
// (FX property id 1).
constexpr CLSID kCaptureClass = {
    0x3C8BA013, 0x2AA8, 0x4687, {0x89, 0x13, 0x4E, 0xA8, 0x3E, 0x26, 0x9A, 0xE8}};
constexpr uint32_t kCapturePid = 1;

// FX property ids of the positions the demonstration registers (SFX, MFX and EFX, the ones a
// current engine reads).
constexpr struct {
  int location;
  uint32_t pid;
} kDemoPositions[] = {{1, 5}, {2, 6}, {3, 7}};
constexpr GUID kFxFormat = {
    0xd04e05a6, 0x594b, 0x4fb6, {0xa8, 0x0d, 0x01, 0xaf, 0x5e, 0xed, 0x7d, 0x1d}};
constexpr GUID kMakerFormat = {
    0x7A8B74C8, 0xFA66, 0x4460, {0x85, 0x42, 0xD6, 0x11, 0x9C, 0x59, 0xE9, 0xD4}};
constexpr uint32_t kConfigurationPid = 2;
// FX property ids of locations 0 to 5.
constexpr uint32_t kFxPids[QORAPOEndpointInfo::kPositionCount] = {1, 5, 6, 7, 11, 12};
// Where the record of a PipeWire device's endpoint names the device's node.
constexpr PROPERTYKEY kDeviceNodeKey = {
    {0xCEF3A1AD, 0x0655, 0x4F06, {0x8D, 0x0F, 0x95, 0x9C, 0xBA, 0x2E, 0x68, 0x33}}, 1};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string FriendlyName(const QOREndpointRecord& record) {
  QORRegistryKey properties;
  std::wstring name;
  if (QORRegistryKey::Open(
          QORRegistryHive::kLocalMachine,
          QOREndpointStore::EndpointKeyPath(record.flow, record.guid) + L"\\Properties",
          KEY_QUERY_VALUE, properties) == ERROR_SUCCESS) {
    properties.GetString(QORPropertyKeyToString(PKEY_Device_FriendlyName), &name);
  }
  return QORWideToUtf8(name);
}

GUID GuidFromBytes(const uint8_t (&bytes)[16]) {
  GUID guid{};
  guid.Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
               bytes[3];
  guid.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  guid.Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) guid.Data4[i] = bytes[8 + i];
  return guid;
}

std::vector<QOREndpointRecord> ActiveRender() {
  std::vector<QOREndpointRecord> records;
  QOREndpointStore::List(eRender, DEVICE_STATE_ACTIVE, &records);
  return records;
}

}  // namespace

const CLSID& QORHostEndpointSetup::ClassForLocation(int location, EDataFlow flow) {
  if (flow == eCapture && location == 0) return kCaptureClass;
  return location >= 0 && location < QORAPOEndpointInfo::kPositionCount ? kClasses[location]
                                                                        : GUID_NULL;
}

const char* QORHostEndpointSetup::LocationName(int location) {
  static const char* const kNames[] = {"PreBlue", "SFX", "MFX", "EFX", "OSFX", "OMFX"};
  return location >= 0 && location < QORAPOEndpointInfo::kPositionCount ? kNames[location] : "?";
}

bool QORHostEndpointSetup::ParseEffect(const std::string& item, EDataFlow flow, CLSID* classes,
                                       std::string* error) {
  const size_t equals = item.find('=');
  std::vector<int> location;
  if (!QORHostProcessCommand::ParsePositions(item.substr(0, equals), &location, error) ||
      location.size() != 1) {
    if (location.size() > 1) *error = "one position at a time";
    return false;
  }
  CLSID clsid = ClassForLocation(location[0], flow);
  if (equals != std::string::npos) {
    std::wstring text = QORUtf8ToWide(item.substr(equals + 1));
    if (!text.empty() && text.front() != L'{') text = L"{" + text + L"}";
    if (!QORGuidFromString(text, &clsid) || clsid == GUID_NULL) {
      // Built apart: *error may be the very string item refers to.
      std::string why(1, '\'');
      why.append(item, equals + 1);
      why +=
          "' is not a class id; give {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx} or leave it out for "
          "the module's class";
      *error = std::move(why);
      return false;
    }
  }
  if (classes[location[0]] != GUID_NULL) {
    std::string why = "position ";
    why.append(item, 0, equals);
    why += " is given twice";
    *error = std::move(why);
    return false;
  }
  classes[location[0]] = clsid;
  return true;
}

bool QORHostEndpointSetup::Write(const NewEndpoint& endpoint, std::string* error) {
  QORAPOConfigurationFile file;
  const uint32_t loaded =
      file.Load(QORUtf8ToWide(endpoint.configuration), QORAPOConfigurationFile::kSelectorPlain, 1);
  if (loaded != QORAPOConfigurationFile::kLoadOk) {
    *error = "cannot read the configuration '" + endpoint.configuration + "' (load result " +
             std::to_string(loaded) + "); give an XML configuration file";
    return false;
  }
  const EDataFlow flow = endpoint.flow;
  if (FAILED(QOREndpointStore::Add(flow, endpoint.guid, QORUtf8ToWide(endpoint.name),
                                   DEVICE_STATE_DISABLED))) {
    *error = "cannot write the endpoint store; check that the state root (QOR_ROOT) is writable";
    return false;
  }
  const std::wstring path = QOREndpointStore::EndpointKeyPath(flow, endpoint.guid);
  QORRegistryKey properties;
  QORRegistryKey fx;
  bool written = QORRegistryKey::Create(QORRegistryHive::kLocalMachine, path + L"\\Properties",
                                        KEY_ALL_ACCESS, properties) == ERROR_SUCCESS &&
                 QORRegistryKey::Create(QORRegistryHive::kLocalMachine, path + L"\\FxProperties",
                                        KEY_ALL_ACCESS, fx) == ERROR_SUCCESS &&
                 properties.SetString(QORPropertyKeyToString({kMakerFormat, kConfigurationPid}),
                                      QORUtf8ToWide(endpoint.configuration)) == ERROR_SUCCESS;
  if (written && !endpoint.device.empty()) {
    written = properties.SetString(QORPropertyKeyToString(kDeviceNodeKey),
                                   QORUtf8ToWide(endpoint.device)) == ERROR_SUCCESS;
  }
  for (int location = 0; written && location < QORAPOEndpointInfo::kPositionCount; ++location) {
    if (endpoint.classes[location] == GUID_NULL) continue;
    written = fx.SetString(QORPropertyKeyToString({kFxFormat, kFxPids[location]}),
                           QORGuidToString(endpoint.classes[location])) == ERROR_SUCCESS;
  }
  // The first refresh of the record creates the endpoint's settings key.
  QORComPtr<IMMDevice> device;
  QORAPOEndpointInfo info;
  written = written && SUCCEEDED(QORMMDevice::Create(flow, endpoint.guid, device.Put())) &&
            info.Init(device.Get(), flow == eRender);
  written = written && SUCCEEDED(QOREndpointStore::SetState(flow, endpoint.guid, endpoint.state));
  if (written && endpoint.makeDefault && endpoint.state == DEVICE_STATE_ACTIVE) {
    written = SUCCEEDED(QOREndpointStore::SetDefault(flow, eConsole, endpoint.guid)) &&
              SUCCEEDED(QOREndpointStore::SetDefault(flow, eMultimedia, endpoint.guid));
  }
  if (!written) {
    QOREndpointStore::Remove(flow, endpoint.guid);
    *error = "cannot write the endpoint store; check that the state root (QOR_ROOT) is writable";
  }
  return written;
}

GUID QORHostEndpointSetup::DeviceGuid(EDataFlow flow, const std::string& node) {
  // 128-bit FNV-1a of the direction and the node name, as a version 8 (name-derived) UUID.
  using u128 = unsigned __int128;
  const u128 prime = (u128{1} << 88) | 0x13B;
  u128 hash = (u128{0x6C62272E07BB0142ULL} << 64) | 0x62B821756295C58DULL;
  const std::string text = std::string(flow == eCapture ? "capture:" : "render:") + node;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= prime;
  }
  uint8_t bytes[16];
  for (int i = 0; i < 16; ++i) bytes[i] = static_cast<uint8_t>(hash >> (8 * (15 - i)));
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x80);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
  return GuidFromBytes(bytes);
}

GUID QORHostEndpointSetup::NewGuid() {
  std::random_device source;
  std::uniform_int_distribution<uint32_t> byte(0, 255);
  uint8_t bytes[16];
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(byte(source));
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // variant 1
  return GuidFromBytes(bytes);
}

std::string QORHostEndpointSetup::DeviceNode(EDataFlow flow, const GUID& guid) {
  QORRegistryKey properties;
  std::wstring node;
  if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine,
                           QOREndpointStore::EndpointKeyPath(flow, guid) + L"\\Properties",
                           KEY_QUERY_VALUE, properties) == ERROR_SUCCESS) {
    properties.GetString(QORPropertyKeyToString(kDeviceNodeKey), &node);
  }
  return QORWideToUtf8(node);
}

std::string QORHostEndpointSetup::Name(const GUID& endpoint) {
  QOREndpointRecord record;
  record.guid = endpoint;
  return FriendlyName(record);
}

std::string QORHostEndpointSetup::RecordName(const QOREndpointRecord& record) {
  return FriendlyName(record);
}

const char* QORHostEndpointSetup::StateName(uint32_t state) {
  switch (state) {
    case DEVICE_STATE_ACTIVE:
      return "active";
    case DEVICE_STATE_DISABLED:
      return "disabled";
    case DEVICE_STATE_NOTPRESENT:
      return "not present";
    case DEVICE_STATE_UNPLUGGED:
      return "unplugged";
    default:
      return "unknown";
  }
}

bool QORHostEndpointSetup::FindRecord(const std::string& text, QOREndpointRecord* out,
                                      std::string* error) {
  std::vector<QOREndpointRecord> records;
  QOREndpointStore::List(eAll, DEVICE_STATEMASK_ALL, &records);
  GUID guid{};
  std::wstring wide = QORUtf8ToWide(text);
  if (!wide.empty() && wide.front() != L'{') wide = L"{" + wide + L"}";
  const bool isGuid = QORGuidFromString(wide, &guid);
  std::vector<QOREndpointRecord> matches;
  for (const QOREndpointRecord& record : records) {
    if ((isGuid && record.guid == guid) || Lower(FriendlyName(record)) == Lower(text)) {
      matches.push_back(record);
    }
  }
  if (matches.size() == 1) {
    *out = matches.front();
    return true;
  }
  std::string known;
  for (const QOREndpointRecord& record : matches.empty() ? records : matches) {
    known += (known.empty() ? "" : ", ") + FriendlyName(record) + " " +
             QORWideToUtf8(QORGuidToString(record.guid));
  }
  if (matches.empty()) {
    *error = "unknown endpoint '" + text + "'; known: " + (known.empty() ? "none" : known) +
             " (see `qorapo endpoint list`)";
  } else {
    *error = "more than one endpoint is named '" + text + "' (" + known + "); give its GUID";
  }
  return false;
}

std::vector<std::string> QORHostEndpointSetup::Describe() {
  std::vector<std::string> out;
  for (const QOREndpointRecord& record : ActiveRender()) {
    out.push_back(FriendlyName(record) + " " + QORWideToUtf8(QORGuidToString(record.guid)));
  }
  return out;
}

bool QORHostEndpointSetup::Find(const std::string& text, QORAPOEndpointInfo* out,
                                std::string* error) {
  QOREndpointRecord chosen;
  bool found = false;
  if (text.empty()) {
    found = SUCCEEDED(QOREndpointStore::GetDefault(eRender, eConsole, &chosen));
  } else {
    GUID guid{};
    std::wstring wide = QORUtf8ToWide(text);
    if (!wide.empty() && wide.front() != L'{') wide = L"{" + wide + L"}";
    const bool isGuid = QORGuidFromString(wide, &guid);
    for (const QOREndpointRecord& record : ActiveRender()) {
      if ((isGuid && record.guid == guid) || Lower(FriendlyName(record)) == Lower(text)) {
        chosen = record;
        found = true;
        break;
      }
    }
  }
  if (found) {
    QORComPtr<IMMDevice> device;
    found = SUCCEEDED(QORMMDevice::Create(eRender, chosen.guid, device.Put())) &&
            out->Init(device.Get(), true);
  }
  if (found) return true;
  std::string known;
  for (const std::string& line : Describe()) known += "\n  " + line;
  if (text.empty()) {
    *error =
        "no active render endpoint in this state root; name one with --endpoint, or create "
        "the demonstration endpoint with `qorapo demo-setup ROOT`";
  } else {
    *error = "no active render endpoint is named '" + text + "'";
    QOREndpointRecord other;
    std::string ignored;
    if (FindRecord(text, &other, &ignored)) {
      if (other.flow != eRender) {
        *error += " ('" + text + "' is a capture endpoint)";
      } else {
        *error += std::string(" ('") + text + "' is " + StateName(other.state) +
                  "; enable it with `qorapo endpoint enable " + text + "`)";
      }
    }
    *error += "; give --endpoint a name or GUID (see `qorapo endpoint list`)";
  }
  *error += known.empty() ? std::string(" (none exist)") : ". Known endpoints:" + known;
  return false;
}

namespace {

// Adds (or enables) one demonstration endpoint with the configuration and the FX classes given,
// makes it the default of its direction and creates its settings key with the technology path.
bool SetUpDemoEndpoint(EDataFlow flow, const GUID& guid, const wchar_t* name,
                       const std::vector<std::pair<uint32_t, CLSID>>& classes,
                       const std::wstring& configurationPath, const std::wstring& techPath,
                       std::string* error) {
  const std::string what = flow == eRender ? "demonstration endpoint" : "demonstration microphone";
  QOREndpointRecord existing;
  if (FAILED(QOREndpointStore::Find(flow, guid, &existing))) {
    if (FAILED(QOREndpointStore::Add(flow, guid, name, DEVICE_STATE_ACTIVE))) {
      *error = "cannot add the " + what + "; check that the state root is writable";
      return false;
    }
  } else {
    QOREndpointStore::Enable(flow, guid);
  }
  const std::wstring endpointPath = QOREndpointStore::EndpointKeyPath(flow, guid);
  QORRegistryKey properties;
  QORRegistryKey fx;
  if (QORRegistryKey::Create(QORRegistryHive::kLocalMachine, endpointPath + L"\\Properties",
                             KEY_ALL_ACCESS, properties) != ERROR_SUCCESS ||
      QORRegistryKey::Create(QORRegistryHive::kLocalMachine, endpointPath + L"\\FxProperties",
                             KEY_ALL_ACCESS, fx) != ERROR_SUCCESS) {
    *error = "cannot write the " + what + "'s properties";
    return false;
  }
  bool written = properties.SetString(QORPropertyKeyToString({kMakerFormat, 2}),
                                      configurationPath) == ERROR_SUCCESS;
  for (const auto& [pid, clsid] : classes) {
    written = written && fx.SetString(QORPropertyKeyToString({kFxFormat, pid}),
                                      QORGuidToString(clsid)) == ERROR_SUCCESS;
  }
  QOREndpointStore::SetDefault(flow, eConsole, guid);
  // The settings key, and the technology library the module would otherwise look for beside
  // itself.
  QORComPtr<IMMDevice> device;
  QORAPOEndpointInfo info;
  if (!written || FAILED(QORMMDevice::Create(flow, guid, device.Put())) ||
      !info.Init(device.Get(), flow == eRender)) {
    *error = "cannot write the " + what + "'s properties";
    return false;
  }
  QORRegistryKey subkey;
  if (QORRegistryKey::Create(QORRegistryHive::kLocalMachine, info.GetRegistrySubkey(),
                             KEY_ALL_ACCESS, subkey) != ERROR_SUCCESS ||
      (!techPath.empty() &&
       subkey.SetString(QORAPOEndpointInfo::kTechPathValue, techPath) != ERROR_SUCCESS)) {
    *error = "cannot create the " + what + "'s settings key";
    return false;
  }
  return true;
}

}  // namespace

bool QORHostEndpointSetup::SetUpDemo(const std::wstring& configurationPath,
                                     const std::wstring& techPath, std::string* error) {
  std::vector<std::pair<uint32_t, CLSID>> renderClasses;
  for (const auto& position : kDemoPositions) {
    renderClasses.emplace_back(position.pid, kClasses[position.location]);
  }
  // The microphone runs the capture class with the same configuration: its side-chain writer
  // feeds the render side's readers.
  return SetUpDemoEndpoint(eRender, kDemoEndpoint, kDemoName, renderClasses, configurationPath,
                           techPath, error) &&
         SetUpDemoEndpoint(eCapture, kDemoMicrophone, kDemoMicrophoneName,
                           {{kCapturePid, kCaptureClass}}, configurationPath, techPath, error);
}
