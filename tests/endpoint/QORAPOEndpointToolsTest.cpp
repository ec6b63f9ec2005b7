#include "endpoint/QORAPOEndpointTools.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/IMMDeviceEnumerator.h"
#include "platform/QORComApi.h"
#include "platform/QORComPtr.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORMMDevice.h"
#include "platform/QORPropVariant.h"
#include "platform/QORRegistryKey.h"

namespace {

constexpr GUID kRenderA = {0x0A0A0A0A, 0x1111, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xA1}};
constexpr GUID kRenderB = {0x0B0B0B0B, 0x2222, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xB2}};
constexpr GUID kRenderC = {0x0C0C0C0C, 0x3333, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xC3}};
constexpr GUID kCapture = {0x0D0D0D0D, 0x4444, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xD4}};
constexpr PROPERTYKEY kDisableSysFx = {
    {0x1DA5D803, 0xD492, 0x4EDD, {0x8C, 0x23, 0xE0, 0xC0, 0xFF, 0xEE, 0x7F, 0x0E}}, 5};
constexpr PROPERTYKEY kOtherProperty = {kDisableSysFx.fmtid, 6};
constexpr auto kWait = std::chrono::seconds(5);

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

HRESULT SetSysFx(const GUID& guid, uint32_t disabled) {
  PROPVARIANT value;
  PropVariantInit(&value);
  InitPropVariantFromUInt32(disabled, &value);
  return QOREndpointStore::SetProperty(eRender, guid, kDisableSysFx, value);
}

// Records the kinds it hears with the time; can hold the caller inside its first call.
class Recorder : public IQORAPOEndpointNotify {
 public:
  void OnEndpointNotify(uint32_t kind) override {
    std::unique_lock<std::mutex> lock(mutex_);
    kinds_.push_back(kind);
    times_.push_back(NowUs());
    changed_.notify_all();
    if (holdFirst_ && kinds_.size() == 1) {
      changed_.wait_for(lock, kWait, [&] { return !holdFirst_; });
    }
  }
  // Waits until count notifications arrived.
  bool WaitCount(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return kinds_.size() >= count; });
  }
  // Waits for a notification of kind after index from; its time, or -1.
  int64_t WaitKind(uint32_t kind, size_t from) {
    std::unique_lock<std::mutex> lock(mutex_);
    int64_t when = -1;
    changed_.wait_for(lock, kWait, [&] {
      for (size_t i = from; i < kinds_.size(); ++i) {
        if (kinds_[i] == kind) {
          when = times_[i];
          return true;
        }
      }
      return false;
    });
    return when;
  }
  std::vector<uint32_t> Kinds() {
    std::lock_guard<std::mutex> lock(mutex_);
    return kinds_;
  }
  void HoldFirst() { holdFirst_ = true; }
  void Let() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdFirst_ = false;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<uint32_t> kinds_;
  std::vector<int64_t> times_;
  bool holdFirst_ = false;
};

class QORAPOEndpointToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, kRenderA, L"Speakers", DEVICE_STATE_ACTIVE));
  }

  static QORAPOEndpointInfo Info(const GUID& guid) {
    QORAPOEndpointInfo info;
    QORComPtr<IMMDevice> device;
    if (SUCCEEDED(QORMMDevice::Create(eRender, guid, device.Put()))) info.Init(device.Get(), true);
    return info;
  }

  // The owner's way to start watching: unregister, then register.
  void Watch(Recorder& listener) {
    tools_.Unregister(&listener);
    tools_.Register(&listener);
  }

  qortest::TempStateRoot root_;
  QORAPOEndpointTools tools_;
};

TEST_F(QORAPOEndpointToolsTest, ListsActiveRenderEndpointsOnly) {
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, kRenderB, L"HDMI", DEVICE_STATE_DISABLED));
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, kRenderC, L"Line", DEVICE_STATE_UNPLUGGED));
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eCapture, kCapture, L"Mic", DEVICE_STATE_ACTIVE));
  std::vector<QORAPOEndpointInfo> list(3);
  ASSERT_TRUE(tools_.EnumerateEndpoints(list));
  ASSERT_EQ(1u, list.size());
  EXPECT_EQ(kRenderA, list[0].GetEndpointGuid());
  EXPECT_TRUE(list[0].IsRender());

  ASSERT_EQ(S_OK, QOREndpointStore::Enable(eRender, kRenderC));
  ASSERT_TRUE(tools_.EnumerateEndpoints(list));
  ASSERT_EQ(2u, list.size());

  ASSERT_EQ(S_OK, QOREndpointStore::Disable(eRender, kRenderA));
  ASSERT_EQ(S_OK, QOREndpointStore::Disable(eRender, kRenderC));
  EXPECT_FALSE(tools_.EnumerateEndpoints(list));
  EXPECT_TRUE(list.empty());
}

TEST_F(QORAPOEndpointToolsTest, DefaultSetIsTheDefaultReadBack) {
  ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, kRenderB, L"HDMI", DEVICE_STATE_ACTIVE));
  QORAPOEndpointInfo endpoint;
  ASSERT_TRUE(tools_.GetDefaultEndpoint(endpoint));
  EXPECT_EQ(kRenderA, endpoint.GetEndpointGuid());

  ASSERT_TRUE(tools_.SetDefaultEndpoint(Info(kRenderB)));
  ASSERT_TRUE(tools_.GetDefaultEndpoint(endpoint));
  EXPECT_EQ(kRenderB, endpoint.GetEndpointGuid());
  QOREndpointRecord console;
  ASSERT_EQ(S_OK, QOREndpointStore::GetDefault(eRender, eConsole, &console));
  EXPECT_EQ(kRenderB, console.guid);

  EXPECT_FALSE(tools_.SetDefaultEndpoint(QORAPOEndpointInfo()));
  ASSERT_EQ(S_OK, QOREndpointStore::Remove(eRender, kRenderB));
  EXPECT_FALSE(tools_.SetDefaultEndpoint(Info(kRenderB)));
  ASSERT_EQ(S_OK, QOREndpointStore::Disable(eRender, kRenderA));
  EXPECT_FALSE(tools_.GetDefaultEndpoint(endpoint));
}

// Each callback gives its kind; states other than the four and properties other than the
// system-effects switch give nothing. Each step waits until heard, so none coalesce.
TEST_F(QORAPOEndpointToolsTest, CallbacksGiveTheirKinds) {
  Recorder listener;
  Watch(listener);
  const wchar_t* id = L"{0.0.0.00000000}.{0a0a0a0a-1111-4000-8000-0000000000a1}";
  size_t count = 0;
  for (uint32_t state : {1u, 2u, 4u, 8u}) {
    EXPECT_EQ(S_OK, tools_.OnDeviceStateChanged(id, state));
    ASSERT_TRUE(listener.WaitCount(++count)) << state;
  }
  EXPECT_EQ(S_OK, tools_.OnDeviceStateChanged(id, 0));
  EXPECT_EQ(S_OK, tools_.OnDeviceStateChanged(id, 16));
  EXPECT_EQ(S_OK, tools_.OnDeviceStateChanged(id, 3));
  EXPECT_EQ(S_OK, tools_.OnPropertyValueChanged(id, kOtherProperty));
  EXPECT_EQ(S_OK, tools_.OnDeviceAdded(id));
  EXPECT_EQ(S_OK, tools_.OnDeviceRemoved(id));
  EXPECT_EQ(S_OK, tools_.OnDefaultDeviceChanged(eCapture, eCommunications, id));
  ASSERT_TRUE(listener.WaitCount(++count));
  EXPECT_EQ(S_OK, tools_.OnPropertyValueChanged(L"any", kDisableSysFx));
  ASSERT_TRUE(listener.WaitCount(++count));
  EXPECT_TRUE(tools_.StopWatching());
  EXPECT_EQ((std::vector<uint32_t>{2, 1, 1, 1, 0, 3}), listener.Kinds());
}

// An endpoint unplugged and another made default while the worker is busy: one kind 0.
TEST_F(QORAPOEndpointToolsTest, ChangesBeforeTheWorkerWakesCoalesce) {
  Recorder listener;
  listener.HoldFirst();
  Watch(listener);
  tools_.OnPropertyValueChanged(L"any", kDisableSysFx);
  ASSERT_TRUE(listener.WaitCount(1));  // the worker is held inside this call
  tools_.OnDeviceStateChanged(L"any", DEVICE_STATE_UNPLUGGED);
  tools_.OnDefaultDeviceChanged(eRender, eConsole, L"other");
  listener.Let();
  ASSERT_TRUE(listener.WaitCount(2));
  tools_.OnPropertyValueChanged(L"any", kDisableSysFx);
  ASSERT_TRUE(listener.WaitCount(3));
  EXPECT_TRUE(tools_.StopWatching());
  EXPECT_EQ((std::vector<uint32_t>{3, 0, 3}), listener.Kinds());
}

TEST_F(QORAPOEndpointToolsTest, RegisterAloneDoesNotWatchUnregisterThenRegisterDoes) {
  Recorder listener;
  tools_.Register(&listener);
  tools_.OnPropertyValueChanged(L"any", kDisableSysFx);  // not watching: nowhere to go
  ASSERT_EQ(S_OK, SetSysFx(kRenderA, 1));
  Watch(listener);
  ASSERT_EQ(S_OK, SetSysFx(kRenderA, 0));
  ASSERT_TRUE(listener.WaitCount(1));
  EXPECT_TRUE(tools_.StopWatching());
  EXPECT_EQ((std::vector<uint32_t>{3}), listener.Kinds()) << "only the change made while watching";
}

TEST_F(QORAPOEndpointToolsTest, UnregisteredListenerIsNotCalled) {
  Recorder kept;
  Recorder dropped;
  Watch(kept);
  tools_.Register(&dropped);
  tools_.OnPropertyValueChanged(L"any", kDisableSysFx);
  ASSERT_TRUE(kept.WaitCount(1));
  ASSERT_TRUE(dropped.WaitCount(1));
  tools_.Unregister(&dropped);
  tools_.OnPropertyValueChanged(L"any", kDisableSysFx);
  ASSERT_TRUE(kept.WaitCount(2));
  EXPECT_TRUE(tools_.StopWatching());  // the worker is done with the table
  EXPECT_EQ(1u, dropped.Kinds().size());
  tools_.NotifyListeners(2);
  EXPECT_EQ((std::vector<uint32_t>{3, 3, 2}), kept.Kinds());
  EXPECT_EQ(1u, dropped.Kinds().size());
}

// A listener that unregisters itself from inside its call is not called again.
class SelfRemover : public IQORAPOEndpointNotify {
 public:
  explicit SelfRemover(QORAPOEndpointTools& tools) : tools_(tools) {}
  void OnEndpointNotify(uint32_t) override {
    ++calls;
    tools_.Unregister(this);
  }
  int calls = 0;

 private:
  QORAPOEndpointTools& tools_;
};

TEST_F(QORAPOEndpointToolsTest, ListenerMayUnregisterItselfWhileCalled) {
  SelfRemover remover(tools_);
  Recorder other;
  tools_.Register(&remover);
  tools_.Register(&other);
  tools_.NotifyListeners(1);
  tools_.NotifyListeners(2);
  EXPECT_EQ(1, remover.calls);
  EXPECT_EQ((std::vector<uint32_t>{1, 2}), other.Kinds());
}

// Another process adds an endpoint, changes the default and flips the system-effects switch,
// reporting when each change was complete: "done <start us> <end us>".
int ChangerChild(const std::vector<std::string>&) {
  std::string line;
  while (qortest::ChildHear(line)) {
    HRESULT hr = E_FAIL;
    int64_t start = 0;
    if (line == "add") {
      start = NowUs();
      hr = QOREndpointStore::Add(eRender, kRenderB, L"HDMI", DEVICE_STATE_ACTIVE);
    } else if (line == "default") {
      QORAPOEndpointTools tools;
      QORAPOEndpointInfo info;
      QORComPtr<IMMDevice> device;
      if (SUCCEEDED(QORMMDevice::Create(eRender, kRenderB, device.Put())) &&
          info.Init(device.Get(), true)) {
        start = NowUs();
        if (tools.SetDefaultEndpoint(info)) hr = S_OK;
      }
    } else if (line == "sysfx") {
      start = NowUs();
      hr = SetSysFx(kRenderB, 1);
    }
    const int64_t end = NowUs();
    qortest::ChildSay((SUCCEEDED(hr) ? "done " : "failed ") + std::to_string(start) + " " +
                      std::to_string(end));
  }
  return 0;
}
qortest::ChildRegistration changerChild("endpoint-changer", &ChangerChild);

TEST_F(QORAPOEndpointToolsTest, ChangesByAnotherProcessAreHeardWithin100Ms) {
  for (int role = 0; role < ERole_enum_count; ++role) {
    ASSERT_EQ(S_OK, QOREndpointStore::SetDefault(eRender, static_cast<ERole>(role), kRenderA));
  }
  Recorder listener;
  Watch(listener);
  qortest::ChildProcess changer;
  ASSERT_TRUE(changer.Start("endpoint-changer"));
  const struct {
    const char* command;
    uint32_t kind;
  } steps[] = {{"add", 2}, {"default", 0}, {"sysfx", 3}};
  uint32_t previous = 2;
  for (const auto& step : steps) {
    const size_t from = listener.Kinds().size();
    ASSERT_TRUE(changer.SendLine(step.command));
    std::string line;
    ASSERT_TRUE(changer.ReadLine(line));
    ASSERT_EQ(0u, line.rfind("done ", 0)) << step.command << ": " << line;
    std::istringstream times(line.substr(5));
    int64_t start = 0;
    int64_t written = 0;
    times >> start >> written;
    const int64_t heard = listener.WaitKind(step.kind, from);
    ASSERT_NE(-1, heard) << step.command;
    // From the moment the change is in the store; the write itself is the other process's time.
    EXPECT_LE(heard - written, 100000) << step.command << ", writing took " << written - start;
    // Nothing of another kind came with it; the default is two writes (console and multimedia
    // role), so a second kind 0 may still arrive during the next step.
    const std::vector<uint32_t> kinds = listener.Kinds();
    for (size_t i = from; i < kinds.size(); ++i) {
      EXPECT_TRUE(kinds[i] == step.kind || kinds[i] == previous) << step.command << " " << kinds[i];
    }
    previous = step.kind;
  }
  EXPECT_TRUE(tools_.StopWatching());
}

class InitFxPropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, kRenderA, L"Speakers", DEVICE_STATE_ACTIVE));
    ASSERT_EQ(S_OK, QOREndpointStore::Add(eRender, kRenderB, L"HDMI", DEVICE_STATE_DISABLED));
  }
  static bool HasFx(EDataFlow flow, const GUID& guid) {
    QORRegistryKey key;
    return QORRegistryKey::Open(QORRegistryHive::kLocalMachine,
                                QOREndpointStore::EndpointKeyPath(flow, guid) + L"\\FxProperties",
                                KEY_READ, key) == ERROR_SUCCESS;
  }
  static QORRegistryKey MakerKey() {
    QORRegistryKey key;
    QORRegistryKey::Create(QORRegistryHive::kLocalMachine, L"Software\\QOR Labs\\APO",
                           KEY_ALL_ACCESS, key);
    return key;
  }
  qortest::TempStateRoot root_;
};

TEST_F(InitFxPropertiesTest, CreatesNothingUnlessTheMakerAsks) {
  EXPECT_TRUE(QORAPOEndpointTools::InitFxProperties());  // no maker key
  QORRegistryKey maker = MakerKey();
  EXPECT_TRUE(QORAPOEndpointTools::InitFxProperties());  // no value
  ASSERT_EQ(ERROR_SUCCESS, maker.SetString(L"InitFxProperties", L"1"));
  EXPECT_TRUE(QORAPOEndpointTools::InitFxProperties());  // not a DWORD
  ASSERT_EQ(ERROR_SUCCESS, maker.SetDword(L"InitFxProperties", 0));
  EXPECT_TRUE(QORAPOEndpointTools::InitFxProperties());
  EXPECT_FALSE(HasFx(eRender, kRenderA));
  EXPECT_FALSE(HasFx(eRender, kRenderB));
}

TEST_F(InitFxPropertiesTest, GivesEveryEndpointOfBothFlowsAnFxKey) {
  ASSERT_EQ(ERROR_SUCCESS, MakerKey().SetDword(L"InitFxProperties", 1));
  // Without a capture root the routine still fills the render endpoints but reports failure.
  EXPECT_FALSE(QORAPOEndpointTools::InitFxProperties());
  EXPECT_TRUE(HasFx(eRender, kRenderA));
  EXPECT_TRUE(HasFx(eRender, kRenderB));

  ASSERT_EQ(S_OK, QOREndpointStore::Add(eCapture, kCapture, L"Mic", DEVICE_STATE_ACTIVE));
  EXPECT_TRUE(QORAPOEndpointTools::InitFxProperties());
  EXPECT_TRUE(HasFx(eCapture, kCapture));
  EXPECT_TRUE(QORAPOEndpointTools::InitFxProperties());  // existing keys are kept
  // The endpoints stay what they were.
  std::vector<QOREndpointRecord> records;
  ASSERT_EQ(S_OK, QOREndpointStore::List(eAll, DEVICE_STATEMASK_ALL, &records));
  EXPECT_EQ(3u, records.size());
}

}  // namespace
