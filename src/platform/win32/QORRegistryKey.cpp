#include "platform/QORRegistryKey.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "common/QORTextConvert.h"
#include "platform/win32/QORWin32.h"
#include "platform/win32/QORWin32RegistryHive.h"

// A key is the system's registry key, handle_ its HKEY. The system compares names without regard
// to case, keeps their first spelling and writes values atomically. What it lets through and the
// POSIX store refuses (lone surrogates, empty path components, DWORDs of other sizes, calls the
// handle's rights do not cover) is refused here first, so that callers meet one behaviour.

struct QORRegistryKey::Snapshot {
  struct Value {
    std::wstring name;
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
  };
  std::mutex mutex;
  std::vector<Value> values;
  std::vector<std::wstring> subKeys;
};

namespace {

// The largest value the POSIX store takes, so that what one system holds fits the other.
constexpr uint32_t kMaxValueBytes = 32u << 20;
// Rounds of a tree deletion that finds new subkeys (someone is writing into it) before it gives up.
constexpr int kMaxRefills = 64;

HKEY Native(intptr_t handle) {
  return reinterpret_cast<HKEY>(handle);
}

uint32_t NormaliseRights(uint32_t rights) {
  if ((rights & (KEY_GENERIC_ALL | KEY_MAXIMUM_ALLOWED)) != 0) rights |= KEY_ALL_ACCESS;
  if ((rights & KEY_GENERIC_READ) != 0) rights |= KEY_READ;
  if ((rights & KEY_GENERIC_WRITE) != 0) rights |= KEY_WRITE;
  return rights & KEY_ALL_ACCESS;
}

// No NUL, no unpaired surrogate, at most maxUnits UTF-16 units; key names hold no backslash.
bool ValidName(std::wstring_view name, size_t maxUnits, bool isValue) {
  if (name.size() > maxUnits) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const wchar_t c = name[i];
    if (c == L'\0' || (!isValue && c == L'\\') || (c >= 0xDC00 && c <= 0xDFFF)) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 == name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

// Checks "a\b\c" (a trailing backslash is allowed, empty names in between are not) and gives it
// without the trailing backslash.
uint32_t CheckPath(std::wstring_view path, std::wstring* checked) {
  if (!path.empty() && path.back() == L'\\') path.remove_suffix(1);
  checked->assign(path);
  size_t start = 0;
  while (!path.empty()) {
    const size_t end = std::min(path.find(L'\\', start), path.size());
    const std::wstring_view part = path.substr(start, end - start);
    if (part.empty()) return ERROR_BAD_PATHNAME;
    if (!ValidName(part, kQORRegistryMaxKeyNameChars, false)) return ERROR_INVALID_PARAMETER;
    if (end == path.size()) break;
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

bool NameLess(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
}

// The first subkey of key, empty when it has none.
uint32_t FirstSubKey(HKEY key, std::wstring* name) {
  wchar_t buffer[kQORRegistryMaxKeyNameChars + 1];
  DWORD length = kQORRegistryMaxKeyNameChars + 1;
  const LSTATUS result = RegEnumKeyExW(key, 0, buffer, &length, nullptr, nullptr, nullptr, nullptr);
  if (result == ERROR_NO_MORE_ITEMS) {
    name->clear();
    return ERROR_SUCCESS;
  }
  if (result == ERROR_SUCCESS) name->assign(buffer, length);
  return result;
}

// Deletes the key at path below base with everything below it, the deepest keys first (a key with
// subkeys cannot be deleted). Removing the keys one by one, rather than RegDeleteTreeW, reports no
// value deletions to watches, as a deletion in the POSIX store does not.
uint32_t DeleteTreeAt(HKEY base, const std::wstring& path) {
  std::vector<std::wstring> pending{path};
  int refills = 0;
  while (!pending.empty()) {
    const std::wstring current = pending.back();
    HKEY key = nullptr;
    LSTATUS result = RegOpenKeyExW(base, current.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, &key);
    if (result == ERROR_FILE_NOT_FOUND && pending.size() > 1) {
      pending.pop_back();  // someone else removed it meanwhile
      continue;
    }
    if (result != ERROR_SUCCESS) return result;
    std::wstring child;
    result = FirstSubKey(key, &child);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return result;
    if (!child.empty()) {
      pending.push_back(current + L"\\" + child);
      continue;
    }
    result = RegDeleteKeyExW(base, current.c_str(), 0, 0);
    if (result == ERROR_ACCESS_DENIED && ++refills <= kMaxRefills) continue;  // filled meanwhile
    if (result != ERROR_SUCCESS && !(result == ERROR_FILE_NOT_FOUND && pending.size() > 1)) {
      return result;
    }
    pending.pop_back();
  }
  return ERROR_SUCCESS;
}

}  // namespace

QORRegistryKey::QORRegistryKey() : snapshot_(std::make_unique<Snapshot>()) {}

QORRegistryKey::QORRegistryKey(intptr_t handle, uint32_t rights)
    : handle_(handle), rights_(rights), snapshot_(std::make_unique<Snapshot>()) {}

QORRegistryKey::~QORRegistryKey() {
  Close();
}

QORRegistryKey::QORRegistryKey(QORRegistryKey&& other) noexcept
    : handle_(other.handle_), rights_(other.rights_), snapshot_(std::move(other.snapshot_)) {
  other.handle_ = -1;
  other.rights_ = 0;
  other.snapshot_ = std::make_unique<Snapshot>();
}

QORRegistryKey& QORRegistryKey::operator=(QORRegistryKey&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    rights_ = other.rights_;
    std::swap(snapshot_, other.snapshot_);
    other.handle_ = -1;
    other.rights_ = 0;
  }
  return *this;
}

void QORRegistryKey::Close() {
  if (IsOpen()) RegCloseKey(Native(handle_));
  handle_ = -1;
  rights_ = 0;
}

uint32_t QORRegistryKey::OpenHive(QORRegistryHive hive, QORRegistryKey& out) {
  HKEY key = nullptr;
  const uint32_t result = QORWin32RegistryHive::Open(hive, &key);
  if (result != ERROR_SUCCESS) return result;
  out = QORRegistryKey(reinterpret_cast<intptr_t>(key), KEY_ALL_ACCESS);
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::Open(QORRegistryHive hive, std::wstring_view path, uint32_t rights,
                              QORRegistryKey& out) {
  QORRegistryKey root;
  const uint32_t result = OpenHive(hive, root);
  return result != ERROR_SUCCESS ? result : root.OpenSubKey(path, rights, out);
}

uint32_t QORRegistryKey::Create(QORRegistryHive hive, std::wstring_view path, uint32_t rights,
                                QORRegistryKey& out, bool* created) {
  QORRegistryKey root;
  const uint32_t result = OpenHive(hive, root);
  return result != ERROR_SUCCESS ? result : root.CreateSubKey(path, rights, out, created);
}

uint32_t QORRegistryKey::Delete(QORRegistryHive hive, std::wstring_view path) {
  QORRegistryKey root;
  const uint32_t result = OpenHive(hive, root);
  return result != ERROR_SUCCESS ? result : root.DeleteSubKey(path);
}

uint32_t QORRegistryKey::DeleteTree(QORRegistryHive hive, std::wstring_view path) {
  QORRegistryKey root;
  const uint32_t result = OpenHive(hive, root);
  return result != ERROR_SUCCESS ? result : root.DeleteSubTree(path);
}

uint32_t QORRegistryKey::Duplicate(QORRegistryKey& out) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), Native(handle_), GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return GetLastError();
  }
  out = QORRegistryKey(reinterpret_cast<intptr_t>(copy), rights_);
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::OpenSubKey(std::wstring_view path, uint32_t rights,
                                    QORRegistryKey& out) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  std::wstring checked;
  const uint32_t valid = CheckPath(path, &checked);
  if (valid != ERROR_SUCCESS) return valid;
  rights = NormaliseRights(rights);
  HKEY key = nullptr;
  const LSTATUS result = RegOpenKeyExW(Native(handle_), checked.c_str(), 0, rights, &key);
  if (result != ERROR_SUCCESS) return result;
  out = QORRegistryKey(reinterpret_cast<intptr_t>(key), rights);
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::CreateSubKey(std::wstring_view path, uint32_t rights, QORRegistryKey& out,
                                      bool* created) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  std::wstring checked;
  const uint32_t valid = CheckPath(path, &checked);
  if (valid != ERROR_SUCCESS) return valid;
  if (!checked.empty() && (rights_ & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
  rights = NormaliseRights(rights);
  HKEY key = nullptr;
  DWORD disposition = 0;
  const LSTATUS result =
      RegCreateKeyExW(Native(handle_), checked.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, rights,
                      nullptr, &key, &disposition);
  if (result != ERROR_SUCCESS) return result;
  // The system may call the key itself new when the path is empty.
  if (created != nullptr) *created = !checked.empty() && disposition == REG_CREATED_NEW_KEY;
  out = QORRegistryKey(reinterpret_cast<intptr_t>(key), rights);
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::DeleteSubKey(std::wstring_view path) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  std::wstring checked;
  const uint32_t valid = CheckPath(path, &checked);
  if (valid != ERROR_SUCCESS) return valid;
  if (checked.empty()) return ERROR_ACCESS_DENIED;
  return RegDeleteKeyExW(Native(handle_), checked.c_str(), 0, 0);
}

uint32_t QORRegistryKey::DeleteSubTree(std::wstring_view path) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  std::wstring checked;
  const uint32_t valid = CheckPath(path, &checked);
  if (valid != ERROR_SUCCESS) return valid;
  if (checked.empty()) return ERROR_ACCESS_DENIED;
  return DeleteTreeAt(Native(handle_), checked);
}

uint32_t QORRegistryKey::EnumSubKey(uint32_t index, std::wstring& name) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if ((rights_ & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;
  std::lock_guard<std::mutex> lock(snapshot_->mutex);
  if (index == 0) {
    snapshot_->subKeys.clear();
    wchar_t buffer[kQORRegistryMaxKeyNameChars + 1];
    for (DWORD i = 0;; ++i) {
      DWORD length = kQORRegistryMaxKeyNameChars + 1;
      const LSTATUS result =
          RegEnumKeyExW(Native(handle_), i, buffer, &length, nullptr, nullptr, nullptr, nullptr);
      if (result == ERROR_NO_MORE_ITEMS) break;
      if (result != ERROR_SUCCESS) return result;
      snapshot_->subKeys.emplace_back(buffer, length);
    }
    std::sort(snapshot_->subKeys.begin(), snapshot_->subKeys.end(), NameLess);
  }
  if (index >= snapshot_->subKeys.size()) return ERROR_NO_MORE_ITEMS;
  name = snapshot_->subKeys[index];
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::QueryInfo(uint32_t* subKeyCount, uint32_t* valueCount) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  DWORD subKeys = 0, values = 0;
  const LSTATUS result =
      RegQueryInfoKeyW(Native(handle_), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                       &values, nullptr, nullptr, nullptr, nullptr);
  if (result != ERROR_SUCCESS) return result;
  if (subKeyCount != nullptr) *subKeyCount = subKeys;
  if (valueCount != nullptr) *valueCount = values;
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::QueryValue(std::wstring_view name, uint32_t* type, void* data,
                                    uint32_t* size) const {
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<uint8_t> bytes;
  uint32_t storedType = REG_NONE;
  const uint32_t result = QueryValue(name, &storedType, &bytes);
  if (result != ERROR_SUCCESS) return result;
  if (type != nullptr) *type = storedType;
  const uint32_t needed = static_cast<uint32_t>(bytes.size());
  if (data != nullptr && *size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && needed != 0) std::memcpy(data, bytes.data(), needed);
  if (size != nullptr) *size = needed;
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::QueryValue(std::wstring_view name, uint32_t* type,
                                    std::vector<uint8_t>* data) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if ((rights_ & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (!ValidName(name, kQORRegistryMaxValueNameChars, true)) return ERROR_FILE_NOT_FOUND;
  const std::wstring text(name);
  std::vector<uint8_t> bytes;
  DWORD storedType = REG_NONE;
  LSTATUS result = ERROR_MORE_DATA;
  // A writer may make the value longer between the two calls: ask again.
  while (result == ERROR_MORE_DATA) {
    DWORD size = 0;
    result = RegQueryValueExW(Native(handle_), text.c_str(), nullptr, &storedType, nullptr, &size);
    if (result != ERROR_SUCCESS) return result;
    bytes.resize(size);
    result =
        RegQueryValueExW(Native(handle_), text.c_str(), nullptr, &storedType, bytes.data(), &size);
    if (result == ERROR_SUCCESS) bytes.resize(size);
  }
  if (result != ERROR_SUCCESS) return result;
  if (type != nullptr) *type = storedType;
  if (data != nullptr) *data = std::move(bytes);
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::SetValue(std::wstring_view name, uint32_t type, const void* data,
                                  uint32_t size) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if ((rights_ & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (!ValidName(name, kQORRegistryMaxValueNameChars, true)) return ERROR_INVALID_PARAMETER;
  if ((data == nullptr && size != 0) || (type == REG_DWORD && size != 4) ||
      (type == REG_QWORD && size != 8) || size > kMaxValueBytes) {
    return ERROR_INVALID_PARAMETER;
  }
  const std::wstring text(name);
  const BYTE none = 0;
  return RegSetValueExW(Native(handle_), text.c_str(), 0, type,
                        size == 0 ? &none : static_cast<const BYTE*>(data), size);
}

uint32_t QORRegistryKey::DeleteValue(std::wstring_view name) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if ((rights_ & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (!ValidName(name, kQORRegistryMaxValueNameChars, true)) return ERROR_FILE_NOT_FOUND;
  const std::wstring text(name);
  return RegDeleteValueW(Native(handle_), text.c_str());
}

uint32_t QORRegistryKey::EnumValue(uint32_t index, std::wstring* name, uint32_t* type,
                                   std::vector<uint8_t>* data) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if ((rights_ & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  std::lock_guard<std::mutex> lock(snapshot_->mutex);
  if (index == 0) {
    snapshot_->values.clear();
    std::vector<wchar_t> nameBuffer(kQORRegistryMaxValueNameChars + 1);
    DWORD largest = 0;
    RegQueryInfoKeyW(Native(handle_), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, &largest, nullptr, nullptr);
    // Never empty: a null buffer would be asked for nothing but the size.
    std::vector<uint8_t> dataBuffer(std::max<DWORD>(largest, 256));
    for (DWORD i = 0;;) {
      DWORD nameLength = static_cast<DWORD>(nameBuffer.size());
      DWORD size = static_cast<DWORD>(dataBuffer.size());
      DWORD storedType = REG_NONE;
      const LSTATUS result = RegEnumValueW(Native(handle_), i, nameBuffer.data(), &nameLength,
                                           nullptr, &storedType, dataBuffer.data(), &size);
      if (result == ERROR_NO_MORE_ITEMS) break;
      if (result == ERROR_MORE_DATA) {
        // The data did not fit (names always do): make room and ask for this entry again.
        dataBuffer.resize(std::max<size_t>(size, dataBuffer.size() * 2));
        continue;
      }
      if (result != ERROR_SUCCESS) return result;
      snapshot_->values.push_back(
          {std::wstring(nameBuffer.data(), nameLength), storedType,
           std::vector<uint8_t>(dataBuffer.begin(), dataBuffer.begin() + size)});
      ++i;
    }
    std::sort(snapshot_->values.begin(), snapshot_->values.end(),
              [](const Snapshot::Value& a, const Snapshot::Value& b) {
                return NameLess(a.name, b.name);
              });
  }
  if (index >= snapshot_->values.size()) return ERROR_NO_MORE_ITEMS;
  const Snapshot::Value& value = snapshot_->values[index];
  if (name != nullptr) *name = value.name;
  if (type != nullptr) *type = value.type;
  if (data != nullptr) *data = value.data;
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::Watch(uint32_t filter, std::unique_ptr<QORRegistryWatch>* out,
                               bool watchSubtree) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if ((rights_ & KEY_NOTIFY) == 0) return ERROR_ACCESS_DENIED;
  constexpr uint32_t kKnown = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                              REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;
  if (out == nullptr || filter == 0 || (filter & ~kKnown) != 0) return ERROR_INVALID_PARAMETER;
  return QORRegistryWatch::Create(handle_, filter, watchSubtree, out);
}
