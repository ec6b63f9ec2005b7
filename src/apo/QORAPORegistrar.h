#pragma once

#include <string>
#include <string_view>

#include "apo/QORAPORegistryScript.h"
#include "platform/QORHResult.h"

class QORRegistryKey;

// Runs registrar scripts against the registry. A script is parsed whole first: a malformed one is
// refused with DISP_E_EXCEPTION and Error() naming the line and the fault, before anything is
// written. Registering creates the keys and values of the script (a ForceRemove key is deleted
// with its tree first). Unregistering deletes ForceRemove keys with their trees, the values the
// script names with 'val', and every other key the script names unless it is NoRemove or still
// holds subkeys; keys already gone are no fault.
class QORAPORegistrar {
 public:
  // What a parse failure returns, as the platform registrar does (DISP_E_EXCEPTION).
  static constexpr HRESULT kParseFailed = static_cast<HRESULT>(0x80020009);

  void AddReplacement(std::wstring name, std::wstring value);
  // Parses without writing; false with Error() set.
  bool Check(std::wstring_view script);
  HRESULT Register(std::wstring_view script);
  HRESULT Unregister(std::wstring_view script);
  const std::string& Error() const { return error_; }

 private:
  HRESULT Run(std::wstring_view script, bool reg);
  uint32_t RegisterKey(const QORRegistryKey& parent, const QORAPORegistryScript::Key& key);
  uint32_t UnregisterKey(const QORRegistryKey& parent, const QORAPORegistryScript::Key& key);
  static uint32_t SetValue(const QORRegistryKey& key, const QORAPORegistryScript::Value& value);

  QORAPORegistryScript script_;
  std::string error_;
};
