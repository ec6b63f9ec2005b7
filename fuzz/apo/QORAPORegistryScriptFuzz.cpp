// Registrar scripts as arbitrary UTF-8 text. Besides memory safety it checks what a parse promises:
// a refusal names a line and keeps no keys; an accepted tree has valid key names within the depth
// limit, and written back as script text it parses to the same tree.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "apo/QORAPORegistryScript.h"
#include "common/QORTextConvert.h"

namespace {

using Script = QORAPORegistryScript;

void Require(bool condition) {
  if (!condition) std::abort();
}

std::wstring Quoted(const std::wstring& text) {
  std::wstring out = L"'";
  for (const wchar_t c : text) {
    if (c == L'\'')
      out += L"''";
    else if (c == L'%')
      out += L"%%";
    else
      out += c;
  }
  return out + L"'";
}

std::wstring ValueText(const Script::Value& value) {
  return value.type == REG_DWORD ? L"d " + std::to_wstring(value.number)
                                 : L"s " + Quoted(value.text);
}

void WriteKeys(const std::vector<Script::Key>& keys, std::wstring* out) {
  for (const Script::Key& key : keys) {
    if (key.removal == Script::Removal::kNoRemove) *out += L"NoRemove ";
    if (key.removal == Script::Removal::kForceRemove) *out += L"ForceRemove ";
    *out += Quoted(key.name);
    if (key.hasDefault) *out += L" = " + ValueText(key.defaultValue);
    *out += L"\n{\n";
    for (const Script::Value& value : key.values) {
      *out += L"val " + Quoted(value.name) + L" = " + ValueText(value) + L"\n";
    }
    WriteKeys(key.keys, out);
    *out += L"}\n";
  }
}

bool SameValue(const Script::Value& a, const Script::Value& b) {
  return a.name == b.name && a.type == b.type &&
         (a.type == REG_DWORD ? a.number == b.number : a.text == b.text);
}

bool SameKeys(const std::vector<Script::Key>& a, const std::vector<Script::Key>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].removal != b[i].removal ||
        a[i].hasDefault != b[i].hasDefault || a[i].values.size() != b[i].values.size()) {
      return false;
    }
    if (a[i].hasDefault && !SameValue(a[i].defaultValue, b[i].defaultValue)) return false;
    for (size_t v = 0; v < a[i].values.size(); ++v) {
      if (!SameValue(a[i].values[v], b[i].values[v])) return false;
    }
    if (!SameKeys(a[i].keys, b[i].keys)) return false;
  }
  return true;
}

void CheckKeys(const std::vector<Script::Key>& keys, int depth) {
  Require(keys.empty() || depth <= Script::kMaxDepth);
  for (const Script::Key& key : keys) {
    Require(!key.name.empty() && key.name.size() <= kQORRegistryMaxKeyNameChars);
    Require(key.name.find(L'\\') == std::wstring::npos);
    CheckKeys(key.keys, depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Script script;
  // Replacements that look like script text must stay data.
  script.AddReplacement(L"MODULE", L"/x/it's } { = s/%%/m.so");
  script.AddReplacement(L"APPID", L"{553C48B2-BA6B-412B-9F8D-2B62B1B912AA}");
  const std::wstring text =
      QORUtf8ToWide(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!script.Parse(text)) {
    Require(script.Roots().empty());
    Require(script.Error().rfind("line ", 0) == 0);
    return 0;
  }
  Require(script.Error().empty());
  std::wstring written;
  for (const Script::Root& root : script.Roots()) {
    CheckKeys(root.keys, 1);
    written += root.hive == QORRegistryHive::kClassesRoot ? L"HKCR\n{\n" : L"HKLM\n{\n";
    WriteKeys(root.keys, &written);
    written += L"}\n";
  }
  Script again;
  Require(again.Parse(written));
  Require(again.Roots().size() == script.Roots().size());
  for (size_t i = 0; i < again.Roots().size(); ++i) {
    Require(again.Roots()[i].hive == script.Roots()[i].hive);
    Require(SameKeys(again.Roots()[i].keys, script.Roots()[i].keys));
  }
  return 0;
}
