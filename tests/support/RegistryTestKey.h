#pragma once

#include <string>
#include <vector>

#include "platform/QORRegistryKey.h"

// The key the registry tests work under, and a key's names as they enumerate.
namespace qortest {

using Names = std::vector<std::wstring>;

inline constexpr wchar_t kBase[] = L"Software\\QOR Labs\\APO";

// The key's value names (values) or subkey names, in the order the key enumerates them.
inline Names List(const QORRegistryKey& key, bool values) {
  Names names;
  for (std::wstring name; (values ? key.EnumValue(names.size(), &name, nullptr, nullptr)
                                  : key.EnumSubKey(names.size(), name)) == ERROR_SUCCESS;)
    names.push_back(name);
  return names;
}

}  // namespace qortest
