#include "settings/QORPropertySetRegistry.h"

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/QORTextConvert.h"
#include "common/QORTrace.h"
#include "platform/IQOREvent.h"
#include "platform/QORRegistryWatch.h"
#include "platform/QORWait.h"
#include "settings/QORPropertyValue.h"
#include "thread/IQORThreadBasicWorker.h"
#include "thread/QORNamedMutexLock.h"

namespace {

// A property as the registry value it is written as; false for a value with no text form.
bool ToRegistryValue(const boost::any& value, uint32_t& type, std::vector<uint8_t>& data) {
  data.clear();
  long number = 0;
  const std::type_info& held = value.type();
  if (held == typeid(int) || held == typeid(long) || held == typeid(short) ||
      held == typeid(bool)) {
    QORPropertyValue::ToLong(value, number);
  } else if (held == typeid(std::vector<char>)) {
    const auto& bytes = boost::any_cast<const std::vector<char>&>(value);
    data.assign(bytes.begin(), bytes.end());
  } else if (held == typeid(std::vector<unsigned char>)) {
    const auto& bytes = boost::any_cast<const std::vector<unsigned char>&>(value);
    data.assign(bytes.begin(), bytes.end());
  } else {
    std::wstring text;
    if (!QORPropertyValue::ToWide(value, text)) return false;
    if (!text.empty()) {
      type = REG_SZ;
      data = QORWideToUtf16LE(text);
      data.push_back(0);
      data.push_back(0);
      return true;
    }
  }
  if (!data.empty()) {
    type = REG_BINARY;
    return true;
  }
  // Whole numbers, and empty texts or byte vectors as 0.
  type = REG_DWORD;
  const auto bits = static_cast<uint32_t>(number);
  for (int i = 0; i < 4; ++i) data.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  return true;
}

bool EndsWithNulUnits(const std::vector<uint8_t>& data, size_t units) {
  if (data.size() % 2 != 0 || data.size() < 2 * units) return false;
  for (size_t i = data.size() - 2 * units; i < data.size(); ++i) {
    if (data[i] != 0) return false;
  }
  return true;
}

std::wstring FirstText(const std::vector<uint8_t>& data) {
  std::wstring text = QORUtf16LEToWide(data.data(), data.size());
  const size_t nul = text.find(L'\0');
  if (nul != std::wstring::npos) text.resize(nul);
  return text;
}

// A registry value as a property; false for types and forms that are not read.
bool FromRegistryValue(uint32_t type, const std::vector<uint8_t>& data, boost::any& value) {
  switch (type) {
    case REG_DWORD: {
      if (data.size() != 4) return false;
      uint32_t bits = 0;
      for (int i = 3; i >= 0; --i) bits = (bits << 8) | data[i];
      value = static_cast<long>(static_cast<int32_t>(bits));
      return true;
    }
    case REG_BINARY:
      value = std::vector<char>(data.begin(), data.end());
      return true;
    case REG_SZ:
    case REG_EXPAND_SZ:
      if (!data.empty() && !EndsWithNulUnits(data, 1)) return false;
      value = FirstText(data);
      return true;
    case REG_MULTI_SZ:
      if (!EndsWithNulUnits(data, 2)) return false;
      value = FirstText(data);
      return true;
    default:
      return false;
  }
}

}  // namespace

// The stored-value record, shared with watch threads whose loads update it.
struct QORPropertySetRegistry::State {
  // Whole loads, and the callers' change-and-save holds. Taken before the set's own lock, never
  // after it: a write-through save runs under the set's lock and so does not take it.
  std::recursive_mutex ioLock;
  std::mutex storedLock;
  bool stored = false;
  std::wstring binaryName;
  // The thread whose load is filling the set: its changes came from the registry and are not
  // written back.
  std::atomic<std::thread::id> loadingThread{};

  void RememberStored(const std::wstring& name) {
    std::lock_guard<std::mutex> lock(storedLock);
    binaryName = name;
    stored = true;
  }
};

// One watch: everything its thread touches, held by the thread until it ends.
class QORPropertySetRegistry::Watch : public IQORThreadBasicWorker {
 public:
  bool DoWork(QORThreadBasic& thread, IQOREvent& stopEvent) override;

  std::shared_ptr<State> state;
  std::shared_ptr<QORPropertySet> heldSet;
  QORPropertySet* set = nullptr;
  QORRegistryKey key;
  std::unique_ptr<QORRegistryWatch> notification;
  std::wstring name;
  IQORPropertySetRegistrySimpleNotify* sink = nullptr;
  QORPropertySetRegistry* source = nullptr;
};

bool QORPropertySetRegistry::Watch::DoWork(QORThreadBasic&, IQOREvent& stopEvent) {
  if (sink == nullptr) LoadBinaryFrom(*state, set, key, name, true, true, false);
  for (;;) {
    // The stop event comes first: a thread that was abandoned while in a listener or the sink
    // leaves here once it returns.
    const std::array<IQORWaitable*, 2> objects{&stopEvent, notification.get()};
    const uint32_t result = QORWaitForMultiple(objects, kQORInfinite);
    if (result == kQORWaitObject0) break;
    if (result == kQORWaitObject0 + 1) {
      if (sink != nullptr) {
        sink->OnRegistryChanged(*source);
      } else {
        LoadBinaryFrom(*state, set, key, name, true, true, false);
      }
      continue;
    }
    // A wait that fails would fail again at once: leave instead of spinning.
    QORTrace({"QORPropertySetRegistry", __LINE__, "QORPropertySetRegistry::DoWork"},
             "wait failed (%u); the watch ends\n", result);
    return false;
  }
  return true;
}

QORPropertySetRegistry::QORPropertySetRegistry() : state_(std::make_shared<State>()) {}

QORPropertySetRegistry::~QORPropertySetRegistry() {
  StopWatch();
  QORPropertySet* set = set_.load();
  if (listening_.load() && set != nullptr) set->RemoveNotify(this);
}

void QORPropertySetRegistry::OnPropertyChanged(QORPropertySet&, const PropertyEntry&) {
  if (!listening_.load()) return;
  if (state_->loadingThread.load() == std::this_thread::get_id()) return;
  SaveBinary(nullptr);
}

bool QORPropertySetRegistry::OnPropertyChanging(QORPropertySet&, const PropertyEntry&) {
  return false;
}

void QORPropertySetRegistry::AttachPropertySet(QORPropertySet* set) {
  QORPropertySet* old = set_.load();
  if (listening_.load() && old != nullptr) old->RemoveNotify(this);
  set_.store(set);
  if (heldSet_.get() != set) heldSet_.reset();
  if (listening_.load() && set != nullptr) set->AddNotify(this);
}

void QORPropertySetRegistry::AttachPropertySet(std::shared_ptr<QORPropertySet> set) {
  QORPropertySet* raw = set.get();
  heldSet_ = std::move(set);
  AttachPropertySet(raw);
}

bool QORPropertySetRegistry::SetKey(const QORRegistryKey* key) {
  key_.Close();
  if (key != nullptr && key->IsOpen()) key->Duplicate(key_);
  return key_.IsOpen();
}

const QORRegistryKey* QORPropertySetRegistry::GetKey() const {
  return key_.IsOpen() ? &key_ : nullptr;
}

bool QORPropertySetRegistry::LoadBinary(const std::wstring& name, bool merge, bool replaceExisting,
                                        bool addNew) {
  return LoadBinaryFrom(*state_, set_.load(), key_, name, merge, replaceExisting, addNew);
}

bool QORPropertySetRegistry::LoadBinaryFrom(State& state, QORPropertySet* set,
                                            const QORRegistryKey& key, const std::wstring& name,
                                            bool merge, bool replaceExisting, bool addNew) {
  if (set == nullptr || !key.IsOpen()) return false;
  std::lock_guard<std::recursive_mutex> io(state.ioLock);
  // One read: a value rewritten meanwhile is seen whole, before or after.
  uint32_t type = REG_NONE;
  std::vector<uint8_t> bytes;
  if (key.QueryValue(name, &type, &bytes) != ERROR_SUCCESS) return false;
  if (type != REG_BINARY || bytes.empty()) return false;
  bool result = true;
  state.loadingThread.store(std::this_thread::get_id());
  if (merge) {
    set->MergePropertiesBinary(bytes, replaceExisting, addNew);
  } else {
    set->ClearProperties();
    result = set->SetAllPropertiesBinary(bytes);
  }
  state.loadingThread.store(std::thread::id());
  if (result) state.RememberStored(name);
  return result;
}

std::unique_lock<std::recursive_mutex> QORPropertySetRegistry::HoldLoads() {
  return std::unique_lock<std::recursive_mutex>(state_->ioLock);
}

bool QORPropertySetRegistry::IsStored() const {
  std::lock_guard<std::mutex> lock(state_->storedLock);
  return state_->stored;
}

std::wstring QORPropertySetRegistry::GetBinaryValueName() const {
  std::lock_guard<std::mutex> lock(state_->storedLock);
  return state_->binaryName;
}

bool QORPropertySetRegistry::SaveBinary(const wchar_t* name) {
  std::wstring valueName;
  if (name != nullptr) {
    valueName = name;
  } else {
    std::lock_guard<std::mutex> lock(state_->storedLock);
    // Nothing was loaded or saved yet: there is no value to write through to.
    if (!state_->stored) return false;
    valueName = state_->binaryName;
  }
  QORPropertySet* set = set_.load();
  if (set == nullptr) return false;
  QORPropertySet::Bytes bytes;
  if (!set->GetAllPropertiesBinary(bytes)) return false;
  if (bytes.empty()) {
    QORTrace({"QORPropertySetRegistry", __LINE__, "QORPropertySetRegistry::SaveBinary"},
             "GetAllPropertiesBinary returned 0 length.\n");
    return false;
  }
  if (!key_.IsOpen() || key_.SetBinary(valueName, bytes) != ERROR_SUCCESS) return false;
  state_->RememberStored(valueName);
  return true;
}

QORPropertySetRegistry::UpdateResult QORPropertySetRegistry::UpdateBinary(
    const std::wstring& lockName, uint32_t timeoutMs, const std::wstring& name, bool addNew,
    const std::function<bool(QORPropertySet&)>& change) {
  QORPropertySet* set = set_.load();
  if (set == nullptr || !key_.IsOpen()) return UpdateResult::kNotSaved;
  QORNamedMutexLock writers;
  switch (writers.Lock(lockName, timeoutMs)) {
    case QORNamedMutexLock::Result::kHeld:
      break;
    case QORNamedMutexLock::Result::kTimeout:
      return UpdateResult::kLockTimeout;
    case QORNamedMutexLock::Result::kFailed:
      return UpdateResult::kLockFailed;
  }
  auto loads = HoldLoads();
  // What other processes stored since this set was read; nothing stored yet is no fault.
  LoadBinary(name, true, true, addNew);
  if (!change(*set)) return UpdateResult::kRefused;
  return SaveBinary(name.c_str()) ? UpdateResult::kSaved : UpdateResult::kNotSaved;
}

bool QORPropertySetRegistry::LoadValues() {
  QORPropertySet* set = set_.load();
  if (set == nullptr || !key_.IsOpen()) return false;
  set->ClearProperties();
  bool complete = true;
  std::wstring name;
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
  for (uint32_t index = 0;; ++index) {
    const uint32_t result = key_.EnumValue(index, &name, &type, &data);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) return false;
    boost::any value;
    if (FromRegistryValue(type, data, value)) {
      set->SetProperty(name.c_str(), value);
    } else {
      complete = false;
    }
  }
  return complete;
}

bool QORPropertySetRegistry::SaveValues() {
  QORPropertySet* set = set_.load();
  if (set == nullptr || !key_.IsOpen()) return false;
  PropertyList entries;
  set->GetAllProperties(entries);
  bool complete = true;
  for (const PropertyEntry& entry : entries) {
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
    if (!ToRegistryValue(entry.value, type, data) ||
        key_.SetValue(entry.key, type, data.data(), static_cast<uint32_t>(data.size())) !=
            ERROR_SUCCESS) {
      complete = false;
    }
  }
  return complete;
}

void QORPropertySetRegistry::EnableNotify(bool on) {
  if (on == listening_.load()) return;
  QORPropertySet* set = set_.load();
  if (listening_.load() && set != nullptr) set->RemoveNotify(this);
  listening_.store(on);
  if (on && set != nullptr) set->AddNotify(this);
}

bool QORPropertySetRegistry::WatchValue(bool on, const std::wstring& name) {
  StopWatch();
  if (!on) return true;
  return StartWatch(name, nullptr);
}

bool QORPropertySetRegistry::WatchWithSink(IQORPropertySetRegistrySimpleNotify* sink) {
  StopWatch();
  if (sink == nullptr) return true;
  return StartWatch(std::wstring(), sink);
}

bool QORPropertySetRegistry::StartWatch(const std::wstring& name,
                                        IQORPropertySetRegistrySimpleNotify* sink) {
  auto watch = std::make_shared<Watch>();
  watch->state = state_;
  watch->heldSet = heldSet_;
  watch->set = set_.load();
  watch->name = name;
  watch->sink = sink;
  watch->source = this;
  // The thread gets its own handle (one key handle serves one thread at a time), and the watch is
  // armed here so that every change made after this call returns is seen.
  return key_.IsOpen() && key_.Duplicate(watch->key) == ERROR_SUCCESS &&
         watch->key.Watch(REG_NOTIFY_CHANGE_LAST_SET, &watch->notification) == ERROR_SUCCESS &&
         thread_.StartShared(std::move(watch));
}

void QORPropertySetRegistry::StopWatch() {
  thread_.Stop(stopTimeoutMs_);
}
