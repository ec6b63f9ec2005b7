#include "platform/QOREndpointNotifier.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "TempStateRoot.h"
#include "platform/IPolicyConfig.h"
#include "platform/QORComApi.h"
#include "platform/QORComPtr.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORPropVariant.h"

namespace {

constexpr PROPERTYKEY kDisableSysFx = {
    {0x1DA5D803, 0xD492, 0x4EDD, {0x8C, 0x23, 0xE0, 0xC0, 0xFF, 0xEE, 0x7F, 0x0E}}, 5};

GUID Numbered(uint32_t n) {
  return {0x5E000000u + n, 0x1234, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};
}

// Records every callback as one line.
class Recorder : public IMMNotificationClient {
 public:
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  uint32_t AddRef() override { return 2; }
  uint32_t Release() override { return 1; }
  HRESULT OnDeviceStateChanged(const wchar_t* id, uint32_t state) override {
    return Note(L"state " + std::wstring(id) + L" " + std::to_wstring(state));
  }
  HRESULT OnDeviceAdded(const wchar_t* id) override { return Note(L"added " + std::wstring(id)); }
  HRESULT OnDeviceRemoved(const wchar_t* id) override {
    return Note(L"removed " + std::wstring(id));
  }
  HRESULT OnDefaultDeviceChanged(EDataFlow flow, ERole role, const wchar_t* id) override {
    return Note(L"default " + std::to_wstring(flow) + L" " + std::to_wstring(role) + L" " +
                (id == nullptr ? L"none" : id));
  }
  HRESULT OnPropertyValueChanged(const wchar_t* id, const PROPERTYKEY key) override {
    return Note(L"property " + std::wstring(id) + L" " + QORPropertyKeyToString(key));
  }

  // Waits for the note among those from index from on.
  bool WaitFor(const std::wstring& note, std::chrono::milliseconds limit, size_t from = 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      for (size_t i = from; i < notes_.size(); ++i) {
        if (notes_[i] == note) return true;
      }
      return false;
    });
  }
  void Hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = true;
  }
  void Let() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = false;
    changed_.notify_all();
  }
  std::vector<std::wstring> Notes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return notes_;
  }

 private:
  HRESULT Note(const std::wstring& note) {
    std::unique_lock<std::mutex> lock(mutex_);
    notes_.push_back(note);
    changed_.notify_all();
    // Holds the notifier's thread here until Let.
    changed_.wait_for(lock, std::chrono::seconds(5), [&] { return !hold_; });
    return S_OK;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::wstring> notes_;
  bool hold_ = false;
};

class QOREndpointNotifierTest : public ::testing::Test {
 protected:
  qortest::TempStateRoot root_;
};

TEST_F(QOREndpointNotifierTest, NewEndpointReportsItsArrivalAndState) {
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, Numbered(0), L"Speakers", DEVICE_STATE_ACTIVE));
  ASSERT_EQ(S_OK, QOREndpointStore::SetDefault(eRender, eConsole, Numbered(0)));
  ASSERT_EQ(S_OK, QOREndpointStore::SetDefault(eRender, eMultimedia, Numbered(0)));
  ASSERT_EQ(S_OK, QOREndpointStore::SetDefault(eRender, eCommunications, Numbered(0)));
  Recorder client;
  ASSERT_EQ(S_OK, QOREndpointNotifier::Instance().Register(&client));
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, Numbered(1), L"HDMI", DEVICE_STATE_DISABLED));
  const std::wstring id = QOREndpointStore::MakeId(eRender, Numbered(1));
  EXPECT_TRUE(client.WaitFor(L"state " + id + L" 2", std::chrono::seconds(3)));
  ASSERT_EQ(S_OK, QOREndpointNotifier::Instance().Unregister(&client));
  EXPECT_EQ((std::vector<std::wstring>{L"added " + id, L"state " + id + L" 2"}), client.Notes());
}

// Past 63 watched keys the notifier cannot wait on every key and looks again every so often: a
// change under a key it does not wait on still arrives.
TEST_F(QOREndpointNotifierTest, ChangesPastTheWatchedKeysAreFoundByRescanning) {
  // Each endpoint is two watched keys (itself and its properties) after its flow's root: 40
  // render endpoints put the capture endpoint well past the first 63.
  for (uint32_t n = 0; n < 40; ++n) {
    ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, Numbered(n), L"Out", DEVICE_STATE_ACTIVE));
  }
  const GUID capture = Numbered(100);
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eCapture, capture, L"Mic", DEVICE_STATE_ACTIVE));
  Recorder client;
  ASSERT_EQ(S_OK, QOREndpointNotifier::Instance().Register(&client));
  PROPVARIANT value;
  PropVariantInit(&value);
  InitPropVariantFromUInt32(1, &value);
  ASSERT_EQ(S_OK, QOREndpointStore::SetProperty(eCapture, capture, kDisableSysFx, value));
  const std::wstring id = QOREndpointStore::MakeId(eCapture, capture);
  EXPECT_TRUE(client.WaitFor(L"property " + id + L" " + QORPropertyKeyToString(kDisableSysFx),
                             std::chrono::seconds(3)));
  ASSERT_EQ(S_OK, QOREndpointStore::Disable(eCapture, capture));
  EXPECT_TRUE(client.WaitFor(L"state " + id + L" 2", std::chrono::seconds(3)));
  ASSERT_EQ(S_OK, QOREndpointNotifier::Instance().Unregister(&client));
}

// An endpoint removed and added again while the notifier is busy: the watches of the old keys
// hear nothing more and are replaced.
TEST_F(QOREndpointNotifierTest, EndpointReplacedWhileBusyIsWatchedAgain) {
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, Numbered(0), L"Speakers", DEVICE_STATE_ACTIVE));
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, Numbered(1), L"HDMI", DEVICE_STATE_ACTIVE));
  Recorder client;
  ASSERT_EQ(S_OK, QOREndpointNotifier::Instance().Register(&client));
  const std::wstring id = QOREndpointStore::MakeId(eRender, Numbered(0));
  const std::wstring other = QOREndpointStore::MakeId(eRender, Numbered(1));
  client.Hold();
  ASSERT_EQ(S_OK, QOREndpointStore::Disable(eRender, Numbered(1)));
  ASSERT_TRUE(client.WaitFor(L"state " + other + L" 2", std::chrono::seconds(3)));
  ASSERT_EQ(S_OK, QOREndpointStore::Remove(eRender, Numbered(0)));
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, Numbered(0), L"Speakers", DEVICE_STATE_ACTIVE));
  client.Let();
  // Let the notifier look at what happened while it was held, then change the new keys.
  const size_t from = client.Notes().size();
  ASSERT_EQ(S_OK, QOREndpointStore::Enable(eRender, Numbered(1)));
  ASSERT_TRUE(client.WaitFor(L"state " + other + L" 1", std::chrono::seconds(3), from));
  PROPVARIANT value;
  PropVariantInit(&value);
  InitPropVariantFromUInt32(1, &value);
  ASSERT_EQ(S_OK, QOREndpointStore::SetProperty(eRender, Numbered(0), kDisableSysFx, value));
  EXPECT_TRUE(client.WaitFor(L"property " + id + L" " + QORPropertyKeyToString(kDisableSysFx),
                             std::chrono::seconds(3)));
  ASSERT_EQ(S_OK, QOREndpointNotifier::Instance().Unregister(&client));
}

TEST_F(QOREndpointNotifierTest, PolicyConfigSetsTheDefaultOfOneRole) {
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, Numbered(0), L"Speakers", DEVICE_STATE_ACTIVE));
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, Numbered(1), L"HDMI", DEVICE_STATE_ACTIVE));
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eCapture, Numbered(2), L"Mic", DEVICE_STATE_ACTIVE));
  QORComPtr<IPolicyConfig> policy;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_PolicyConfig, nullptr, CLSCTX_ALL, IID_IPolicyConfig,
                                   policy.PutVoid()));
  const std::wstring hdmi = QOREndpointStore::MakeId(eRender, Numbered(1));
  ASSERT_EQ(S_OK, policy->SetDefaultEndpoint(hdmi.c_str(), eCommunications));
  QOREndpointRecord chosen;
  ASSERT_EQ(S_OK, QOREndpointStore::GetDefault(eRender, eCommunications, &chosen));
  EXPECT_EQ(hdmi, chosen.id);
  ASSERT_EQ(S_OK, QOREndpointStore::GetDefault(eRender, eConsole, &chosen));
  EXPECT_EQ(QOREndpointStore::MakeId(eRender, Numbered(0)), chosen.id);  // first active

  const std::wstring mic = QOREndpointStore::MakeId(eCapture, Numbered(2));
  ASSERT_EQ(S_OK, policy->SetDefaultEndpoint(mic.c_str(), eConsole));
  ASSERT_EQ(S_OK, QOREndpointStore::GetDefault(eCapture, eConsole, &chosen));
  EXPECT_EQ(mic, chosen.id);

  EXPECT_EQ(E_INVALIDARG, policy->SetDefaultEndpoint(L"speakers", eConsole));
  EXPECT_EQ(E_POINTER, policy->SetDefaultEndpoint(nullptr, eConsole));
  EXPECT_TRUE(FAILED(policy->SetDefaultEndpoint(
      QOREndpointStore::MakeId(eRender, Numbered(9)).c_str(), eConsole)));
  EXPECT_EQ(E_INVALIDARG, policy->SetDefaultEndpoint(hdmi.c_str(), static_cast<ERole>(3)));
  void* other = nullptr;
  EXPECT_EQ(E_NOINTERFACE, policy->QueryInterface(IID_IMMNotificationClient, &other));
}

}  // namespace
