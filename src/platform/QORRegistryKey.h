#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/QORRegistryTypes.h"
#include "platform/QORRegistryWatch.h"
#include "platform/QORWinError.h"

// An open registry key. Paths are relative, with backslashes between key names. Key and value names
// compare without regard to case and keep the spelling they were created with; any character but
// NUL may appear in a name (a backslash only in value names), while code points UTF-16 cannot hold
// (lone surrogates, past U+10FFFF) are refused. Value names are at most 16,383 UTF-16 units long,
// key names 255 characters. A key deleted with its tree is either gone completely or the call
// fails. Every call returns a Win32-style code
// (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED when the handle lacks the right,
// ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS, ...). Writes are atomic: a reader sees a value either
// before or after a write, never a part of it. One handle may be used by one thread at a time;
// threads that share a key take their own Duplicate.
class QORRegistryKey {
 public:
  QORRegistryKey();
  ~QORRegistryKey();
  QORRegistryKey(QORRegistryKey&& other) noexcept;
  QORRegistryKey& operator=(QORRegistryKey&& other) noexcept;
  QORRegistryKey(const QORRegistryKey&) = delete;
  QORRegistryKey& operator=(const QORRegistryKey&) = delete;

  // The hives live under the state root, looked up at each call.
  static uint32_t Open(QORRegistryHive hive, std::wstring_view path, uint32_t rights,
                       QORRegistryKey& out);
  // Opens the key, creating it and any missing parent keys; created tells whether the last
  // key was new.
  static uint32_t Create(QORRegistryHive hive, std::wstring_view path, uint32_t rights,
                         QORRegistryKey& out, bool* created = nullptr);
  // Deletes a key without subkeys (ERROR_ACCESS_DENIED when it has some).
  static uint32_t Delete(QORRegistryHive hive, std::wstring_view path);
  // Deletes a key with all its subkeys and values.
  static uint32_t DeleteTree(QORRegistryHive hive, std::wstring_view path);

  // -1 alone is closed: Windows' predefined keys, which a hive may be, are negative numbers.
  bool IsOpen() const { return handle_ != -1; }
  uint32_t Rights() const { return rights_; }
  void Close();
  uint32_t Duplicate(QORRegistryKey& out) const;

  // An empty path opens another handle to this key.
  uint32_t OpenSubKey(std::wstring_view path, uint32_t rights, QORRegistryKey& out) const;
  uint32_t CreateSubKey(std::wstring_view path, uint32_t rights, QORRegistryKey& out,
                        bool* created = nullptr) const;
  uint32_t DeleteSubKey(std::wstring_view path) const;
  uint32_t DeleteSubTree(std::wstring_view path) const;
  // Subkeys by index in name order (KEY_ENUMERATE_SUB_KEYS). Index 0 takes a fresh snapshot.
  uint32_t EnumSubKey(uint32_t index, std::wstring& name) const;
  uint32_t QueryInfo(uint32_t* subKeyCount, uint32_t* valueCount) const;

  // The raw form of the Win32 call: data null asks only for type and size; a buffer that is too
  // small gives ERROR_MORE_DATA and the size needed. Text values are UTF-16LE bytes.
  uint32_t QueryValue(std::wstring_view name, uint32_t* type, void* data, uint32_t* size) const;
  uint32_t QueryValue(std::wstring_view name, uint32_t* type, std::vector<uint8_t>* data) const;
  // Typed reads: ERROR_UNSUPPORTED_TYPE when the stored type (or size) does not fit.
  uint32_t GetDword(std::wstring_view name, uint32_t* value) const;
  uint32_t GetQword(std::wstring_view name, uint64_t* value) const;
  // REG_SZ or REG_EXPAND_SZ (not expanded), up to the first NUL.
  uint32_t GetString(std::wstring_view name, std::wstring* value) const;
  uint32_t GetMultiString(std::wstring_view name, std::vector<std::wstring>* value) const;

  // REG_DWORD takes exactly 4 bytes and REG_QWORD 8 (ERROR_INVALID_PARAMETER otherwise).
  uint32_t SetValue(std::wstring_view name, uint32_t type, const void* data, uint32_t size) const;
  uint32_t SetDword(std::wstring_view name, uint32_t value) const;
  uint32_t SetQword(std::wstring_view name, uint64_t value) const;
  // Stored as UTF-16LE with its terminating NUL; type REG_SZ or REG_EXPAND_SZ.
  uint32_t SetString(std::wstring_view name, std::wstring_view value, uint32_t type = REG_SZ) const;
  uint32_t SetMultiString(std::wstring_view name, const std::vector<std::wstring>& value) const;
  uint32_t SetBinary(std::wstring_view name, std::span<const uint8_t> value) const;
  uint32_t DeleteValue(std::wstring_view name) const;
  // Values by index in name order (KEY_QUERY_VALUE). Index 0 takes a fresh snapshot; the entries
  // are those of the snapshot. Any of the outputs may be null.
  uint32_t EnumValue(uint32_t index, std::wstring* name, uint32_t* type,
                     std::vector<uint8_t>* data) const;

  // A notification that stays armed while it lives (KEY_NOTIFY); filter is a REG_NOTIFY_CHANGE_*
  // mask. It covers this key only, or with watchSubtree every subkey below it too, including
  // those created later. A key's attributes and security are its stored directory's owner,
  // group and permission bits (security) and its other inode attributes such as times and
  // extended attributes (attributes; a change of security is one of them).
  uint32_t Watch(uint32_t filter, std::unique_ptr<QORRegistryWatch>* out,
                 bool watchSubtree = false) const;

 private:
  struct Snapshot;

  QORRegistryKey(intptr_t handle, uint32_t rights);
  static uint32_t OpenHive(QORRegistryHive hive, QORRegistryKey& out);

  intptr_t handle_ = -1;
  uint32_t rights_ = 0;
  std::unique_ptr<Snapshot> snapshot_;
};
