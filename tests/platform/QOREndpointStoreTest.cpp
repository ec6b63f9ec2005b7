#include "platform/QOREndpointStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/IMMDeviceEnumerator.h"
#include "platform/QORComApi.h"
#include "platform/QORComPtr.h"
#include "platform/QORRegistryKey.h"

namespace {

constexpr GUID kRenderA = {0x11111111, 0xAAAA, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xA1}};
constexpr GUID kRenderB = {0x22222222, 0xBBBB, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xB2}};
constexpr GUID kCaptureC = {0x33333333, 0xCCCC, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xC3}};
constexpr GUID kCaptureD = {0x44444444, 0xDDDD, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xD4}};
constexpr PROPERTYKEY kSysFxSwitch = {
    {0x1DA5D803, 0xD492, 0x4EDD, {0x8C, 0x23, 0xE0, 0xC0, 0xFF, 0xEE, 0x7F, 0x0E}}, 5};

std::wstring IdOf(IMMDevice* device) {
  wchar_t* id = nullptr;
  if (device->GetId(&id) != S_OK) return L"";
  std::wstring text(id);
  CoTaskMemFree(id);
  return text;
}

class QOREndpointStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                     IID_IMMDeviceEnumerator, enumerator_.PutVoid()));
  }

  std::vector<std::wstring> Ids(EDataFlow flow, uint32_t mask) {
    QORComPtr<IMMDeviceCollection> devices;
    std::vector<std::wstring> ids;
    uint32_t count = 0;
    if (enumerator_->EnumAudioEndpoints(flow, mask, devices.Put()) == S_OK)
      devices->GetCount(&count);
    for (uint32_t i = 0; i < count; ++i) {
      QORComPtr<IMMDevice> device;
      if (devices->Item(i, device.Put()) == S_OK) ids.push_back(IdOf(device.Get()));
    }
    return ids;
  }

  qortest::TempStateRoot root_;
  QORComPtr<IMMDeviceEnumerator> enumerator_;
};

TEST_F(QOREndpointStoreTest, IdFormsOfBothFlows) {
  EXPECT_EQ(L"{0.0.0.00000000}.{11111111-aaaa-4000-8000-0000000000a1}",
            QOREndpointStore::MakeId(eRender, kRenderA));
  EXPECT_EQ(L"{0.0.1.00000000}.{33333333-cccc-4000-8000-0000000000c3}",
            QOREndpointStore::MakeId(eCapture, kCaptureC));
  EDataFlow flow = eAll;
  GUID guid{};
  ASSERT_TRUE(
      QOREndpointStore::ParseId(QOREndpointStore::MakeId(eCapture, kCaptureC), &flow, &guid));
  EXPECT_EQ(eCapture, flow);
  EXPECT_EQ(kCaptureC, guid);
}

TEST_F(QOREndpointStoreTest, EnumerationByFlowAndStateMask) {
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, kRenderA, L"Speakers", DEVICE_STATE_ACTIVE));
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, kRenderB, L"HDMI", DEVICE_STATE_DISABLED));
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eCapture, kCaptureC, L"Mic", DEVICE_STATE_ACTIVE));
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eCapture, kCaptureD, L"Line In", DEVICE_STATE_UNPLUGGED));
  const std::wstring a = QOREndpointStore::MakeId(eRender, kRenderA);
  const std::wstring b = QOREndpointStore::MakeId(eRender, kRenderB);
  const std::wstring c = QOREndpointStore::MakeId(eCapture, kCaptureC);
  const std::wstring d = QOREndpointStore::MakeId(eCapture, kCaptureD);
  using List = std::vector<std::wstring>;
  EXPECT_EQ((List{a, b}), Ids(eRender, DEVICE_STATEMASK_ALL));
  EXPECT_EQ(List{a}, Ids(eRender, DEVICE_STATE_ACTIVE));
  EXPECT_EQ(List{b}, Ids(eRender, DEVICE_STATE_DISABLED));
  EXPECT_EQ((List{a, c, d}), Ids(eAll, DEVICE_STATE_ACTIVE | DEVICE_STATE_UNPLUGGED));
}

// A property as "type:value", "empty" or the failure code.
std::wstring Read(IPropertyStore* store, const PROPERTYKEY& key) {
  PROPVARIANT value;
  const HRESULT result = store->GetValue(key, &value);
  if (result != S_OK) return std::to_wstring(result);
  std::wstring text = value.vt == VT_EMPTY    ? L"empty"
                      : value.vt == VT_LPWSTR ? L"text:" + std::wstring(value.pwszVal)
                      : value.vt == VT_UI4    ? L"ui4:" + std::to_wstring(value.ulVal)
                                              : L"vt " + std::to_wstring(value.vt);
  PropVariantClear(&value);
  return text;
}

TEST_F(QOREndpointStoreTest, PropertyStoreReadsTextNumbersAndGuidText) {
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, kRenderA, L"Speakers", DEVICE_STATE_ACTIVE));
  // Values as another tool writes them, with lower-case names.
  QORRegistryKey properties;
  ASSERT_EQ(
      ERROR_SUCCESS,
      QORRegistryKey::Open(QORRegistryHive::kLocalMachine,
                           QOREndpointStore::EndpointKeyPath(eRender, kRenderA) + L"\\Properties",
                           KEY_ALL_ACCESS, properties));
  ASSERT_EQ(ERROR_SUCCESS, properties.SetDword(L"{1da5d803-d492-4edd-8c23-e0c0ffee7f0e},5", 1));
  ASSERT_EQ(ERROR_SUCCESS, properties.SetString(L"{d04e05a6-594b-4fb6-a80d-01af5eed7d1d},5",
                                                L"{93520346-FA48-4F56-8CB0-D92CC1775E37}"));

  QORComPtr<IMMDevice> device;
  ASSERT_EQ(S_OK, enumerator_->GetDevice(QOREndpointStore::MakeId(eRender, kRenderA).c_str(),
                                         device.Put()));
  QORComPtr<IPropertyStore> store;
  ASSERT_EQ(S_OK, device->OpenPropertyStore(STGM_READ, store.Put()));
  const PROPERTYKEY sfx = {
      {0xd04e05a6, 0x594b, 0x4fb6, {0xa8, 0x0d, 0x01, 0xaf, 0x5e, 0xed, 0x7d, 0x1d}}, 5};
  const PROPERTYKEY absent = {sfx.fmtid, 99};
  EXPECT_EQ(L"text:Speakers", Read(store.Get(), PKEY_Device_FriendlyName));
  EXPECT_EQ(L"ui4:1", Read(store.Get(), kSysFxSwitch));
  EXPECT_EQ(L"text:{93520346-FA48-4F56-8CB0-D92CC1775E37}", Read(store.Get(), sfx));
  EXPECT_EQ(L"empty", Read(store.Get(), absent));
}

// Records state changes; the other kinds are accepted and ignored.
class RecordingClient : public IMMNotificationClient {
 public:
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  uint32_t AddRef() override { return 2; }
  uint32_t Release() override { return 1; }
  HRESULT OnDeviceStateChanged(const wchar_t* id, uint32_t state) override {
    if (drop != nullptr) enumerator->UnregisterEndpointNotificationCallback(drop);
    drop = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    notes_.push_back(std::wstring(id) + L" " + std::to_wstring(state));
    changed_.notify_all();
    return S_OK;
  }
  HRESULT OnDeviceAdded(const wchar_t*) override { return S_OK; }
  HRESULT OnDeviceRemoved(const wchar_t*) override { return S_OK; }
  HRESULT OnDefaultDeviceChanged(EDataFlow, ERole, const wchar_t*) override { return S_OK; }
  HRESULT OnPropertyValueChanged(const wchar_t*, const PROPERTYKEY) override { return S_OK; }

  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return notes_.size();
  }
  bool WaitFor(const std::wstring& note) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(3), [&] {
      return std::find(notes_.begin(), notes_.end(), note) != notes_.end();
    });
  }

  IMMDeviceEnumerator* enumerator = nullptr;
  IMMNotificationClient* drop = nullptr;  // unregistered by the next state change

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::wstring> notes_;
};

int DisablerChild(const std::vector<std::string>&) {
  return QOREndpointStore::Disable(eRender, kRenderA) == S_OK ? 0 : 2;
}
qortest::ChildRegistration disablerChild("endpoint-disabler", &DisablerChild);

TEST_F(QOREndpointStoreTest, ChangeByAnotherProcessIsNotified) {
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, kRenderA, L"Speakers", DEVICE_STATE_ACTIVE));
  RecordingClient client;
  RecordingClient dropped;
  client.enumerator = enumerator_.Get();
  client.drop = &dropped;
  ASSERT_EQ(S_OK, enumerator_->RegisterEndpointNotificationCallback(&client));
  ASSERT_EQ(S_OK, enumerator_->RegisterEndpointNotificationCallback(&dropped));
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("endpoint-disabler"));
  EXPECT_EQ(0, child.Wait());
  EXPECT_TRUE(client.WaitFor(QOREndpointStore::MakeId(eRender, kRenderA) + L" 2"));
  ASSERT_EQ(S_OK, enumerator_->UnregisterEndpointNotificationCallback(&client));
  EXPECT_EQ(dropped.Count(), 0u);  // unregistered during that very notification
}

}  // namespace
