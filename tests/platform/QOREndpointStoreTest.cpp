#include "platform/QOREndpointStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "TempStateRoot.h"
#include "platform/QOREndpointNotifier.h"
#include "platform/QORPropVariant.h"

namespace {

constexpr PROPERTYKEY kDisableSysFx = {
    {0x1DA5D803, 0xD492, 0x4EDD, {0x8C, 0x23, 0xE0, 0xC0, 0xFF, 0xEE, 0x7F, 0x0E}}, 5};

GUID Numbered(uint32_t n) {
  return {0x5E000000u + n, 0x1234, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};
}
std::wstring IdOf(EDataFlow flow, uint32_t n) {
  return QOREndpointStore::MakeId(flow, Numbered(n));
}

// Records every callback as one line; while held, keeps the notifier's thread in the callback.
class Recorder : public IMMNotificationClient {
 public:
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT OnDeviceStateChanged(const wchar_t* id, DWORD state) override {
    return Note(L"state " + std::wstring(id) + L" " + std::to_wstring(state));
  }
  HRESULT OnDeviceAdded(const wchar_t* id) override { return Note(L"added " + std::wstring(id)); }
  HRESULT OnDeviceRemoved(const wchar_t*) override { return S_OK; }
  HRESULT OnDefaultDeviceChanged(EDataFlow, ERole, const wchar_t*) override { return S_OK; }
  HRESULT OnPropertyValueChanged(const wchar_t* id, const PROPERTYKEY key) override {
    return Note(L"property " + std::wstring(id) + L" " + QORPropertyKeyToString(key));
  }

  bool WaitFor(const std::wstring& note) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(3), [&] {
      return std::find(notes_.begin(), notes_.end(), note) != notes_.end();
    });
  }
  void Hold(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = hold;
    changed_.notify_all();
  }

 private:
  HRESULT Note(const std::wstring& note) {
    std::unique_lock<std::mutex> lock(mutex_);
    notes_.push_back(note);
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(5), [&] { return !hold_; });
    return S_OK;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::wstring> notes_;
  bool hold_ = false;
};

class QOREndpointStoreTest : public ::testing::Test {
 protected:
  void TearDown() override { QOREndpointNotifier::Instance().Unregister(&client_); }

  void SetSysFx(EDataFlow flow, uint32_t n) {
    PROPVARIANT value;
    InitPropVariantFromUInt32(1, &value);
    ASSERT_EQ(S_OK, QOREndpointStore::SetProperty(flow, Numbered(n), kDisableSysFx, value));
  }

  qortest::TempStateRoot root_;
  Recorder client_;
};

// An endpoint replaced while the notifier is busy is watched again. Past 63 watched keys the
// notifier looks again every so often: a change under a key it does not wait on still arrives.
TEST_F(QOREndpointStoreTest, ReplacedEndpointsAreWatchedAgainAndKeysPastTheWatchesRescanned) {
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, Numbered(0), L"Speakers", DEVICE_STATE_ACTIVE));
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, Numbered(1), L"HDMI", DEVICE_STATE_ACTIVE));
  ASSERT_EQ(S_OK, QOREndpointNotifier::Instance().Register(&client_));
  client_.Hold(true);
  ASSERT_EQ(S_OK, QOREndpointStore::Disable(eRender, Numbered(1)));
  ASSERT_TRUE(client_.WaitFor(L"state " + IdOf(eRender, 1) + L" 2"));
  ASSERT_EQ(S_OK, QOREndpointStore::Remove(eRender, Numbered(0)));
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, Numbered(0), L"Speakers", DEVICE_STATE_ACTIVE));
  client_.Hold(false);
  // Let the notifier look at what happened while it was held, then change the new keys.
  ASSERT_EQ(S_OK, QOREndpointStore::Enable(eRender, Numbered(1)));
  ASSERT_TRUE(client_.WaitFor(L"state " + IdOf(eRender, 1) + L" 1"));
  SetSysFx(eRender, 0);
  EXPECT_TRUE(client_.WaitFor(L"property " + IdOf(eRender, 0) + L" " +
                              QORPropertyKeyToString(kDisableSysFx)));
  // Two watched keys per endpoint: 40 render endpoints put the capture one well past the 63.
  for (uint32_t n = 2; n < 40; ++n) {
    ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, Numbered(n), L"Out", DEVICE_STATE_ACTIVE));
  }
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eCapture, Numbered(100), L"Mic", DEVICE_STATE_ACTIVE));
  const std::wstring id = IdOf(eCapture, 100);
  ASSERT_TRUE(client_.WaitFor(L"added " + id));
  SetSysFx(eCapture, 100);
  EXPECT_TRUE(client_.WaitFor(L"property " + id + L" " + QORPropertyKeyToString(kDisableSysFx)));
  ASSERT_EQ(S_OK, QOREndpointStore::Disable(eCapture, Numbered(100)));
  EXPECT_TRUE(client_.WaitFor(L"state " + id + L" 2"));
}

}  // namespace
