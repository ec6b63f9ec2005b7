#include "settings/QORPropertySetRegistry.h"

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "common/QORTextConvert.h"
#include "common/QORTrace.h"
#include "platform/IQOREvent.h"
#include "platform/QORRegistryWatch.h"
#include "platform/QORWait.h"
#include "settings/QORPropertyValue.h"

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

QORPropertySetRegistry::QORPropertySetRegistry() = default;

QORPropertySetRegistry::~QORPropertySetRegistry() {
  StopWatch();
  QORPropertySet* set = set_.load();
  if (listening_.load() && set != nullptr) set->RemoveNotify(this);
}

void QORPropertySetRegistry::OnPropertyChanged(QORPropertySet&, const PropertyEntry&) {
  if (!listening_.load()) return;
  if (loadingThread_.load() == std::this_thread::get_id()) return;
  SaveBinary(nullptr);
}

bool QORPropertySetRegistry::OnPropertyChanging(QORPropertySet&, const PropertyEntry&) {
  return false;
}

void QORPropertySetRegistry::AttachPropertySet(QORPropertySet* set) {
  QORPropertySet* old = set_.load();
  if (listening_.load() && old != nullptr) old->RemoveNotify(this);
  set_.store(set);
  if (listening_.load() && set != nullptr) set->AddNotify(this);
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
  return LoadBinaryFrom(key_, name, merge, replaceExisting, addNew);
}

bool QORPropertySetRegistry::LoadBinaryFrom(const QORRegistryKey& key, const std::wstring& name,
                                            bool merge, bool replaceExisting, bool addNew) {
  QORPropertySet* set = set_.load();
  if (set == nullptr || !key.IsOpen()) return false;
  // One read: a value rewritten meanwhile is seen whole, before or after.
  uint32_t type = REG_NONE;
  std::vector<uint8_t> bytes;
  if (key.QueryValue(name, &type, &bytes) != ERROR_SUCCESS) return false;
  if (type != REG_BINARY || bytes.empty()) return false;
  bool result = true;
  loadingThread_.store(std::this_thread::get_id());
  if (merge) {
    set->MergePropertiesBinary(bytes, replaceExisting, addNew);
  } else {
    set->ClearProperties();
    result = set->SetAllPropertiesBinary(bytes);
  }
  loadingThread_.store(std::thread::id());
  if (result) RememberStored(name);
  return result;
}

void QORPropertySetRegistry::RememberStored(const std::wstring& name) {
  std::lock_guard<std::mutex> lock(storedLock_);
  binaryName_ = name;
  stored_ = true;
}

bool QORPropertySetRegistry::IsStored() const {
  std::lock_guard<std::mutex> lock(storedLock_);
  return stored_;
}

std::wstring QORPropertySetRegistry::GetBinaryValueName() const {
  std::lock_guard<std::mutex> lock(storedLock_);
  return binaryName_;
}

bool QORPropertySetRegistry::SaveBinary(const wchar_t* name) {
  std::wstring valueName;
  if (name != nullptr) {
    valueName = name;
  } else {
    std::lock_guard<std::mutex> lock(storedLock_);
    // Nothing was loaded or saved yet: there is no value to write through to.
    if (!stored_) return false;
    valueName = binaryName_;
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
  RememberStored(valueName);
  return true;
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
  watchedName_ = name;
  return StartWatch();
}

bool QORPropertySetRegistry::WatchWithSink(IQORPropertySetRegistrySimpleNotify* sink) {
  StopWatch();
  if (sink == nullptr) return true;
  sink_ = sink;
  return StartWatch();
}

bool QORPropertySetRegistry::StartWatch() {
  // The thread gets its own handle (one key handle serves one thread at a time), and the watch is
  // armed here so that every change made after this call returns is seen.
  if (!key_.IsOpen() || key_.Duplicate(watchKey_) != ERROR_SUCCESS ||
      watchKey_.Watch(REG_NOTIFY_CHANGE_LAST_SET, &watch_) != ERROR_SUCCESS ||
      !thread_.Start(this)) {
    StopWatch();
    return false;
  }
  return true;
}

void QORPropertySetRegistry::StopWatch() {
  thread_.Stop(0);
  watch_.reset();
  watchKey_.Close();
  watchedName_.clear();
  sink_ = nullptr;
}

bool QORPropertySetRegistry::DoWork(QORThreadBasic&, IQOREvent& stopEvent) {
  if (sink_ == nullptr) LoadBinaryFrom(watchKey_, watchedName_, true, true, false);
  for (;;) {
    const std::array<IQORWaitable*, 2> objects{&stopEvent, watch_.get()};
    const uint32_t result = QORWaitForMultiple(objects, kQORInfinite);
    if (result == kQORWaitObject0) break;
    if (result == kQORWaitObject0 + 1) {
      if (sink_ != nullptr) {
        sink_->OnRegistryChanged(*this);
      } else {
        LoadBinaryFrom(watchKey_, watchedName_, true, true, false);
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
