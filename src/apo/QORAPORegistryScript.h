#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/QORRegistryTypes.h"

// A registrar script, parsed whole before anything is written:
//
//   HKCR                                      root key (HKCR, HKLM or their long names)
//   {
//     NoRemove AppID                          kept on unregistration
//     {
//       ForceRemove {GUID} = s 'Text'         deleted with its tree before registering
//       {
//         Name = s 'default value'            a subkey with its default value
//         val Name = s 'value'                a named value (s text, d number)
//       }
//     }
//   }
//
// Tokens are separated by white space; a quoted token ('...', with '' for a quote) may hold any
// character. %NAME% in a token is replaced after the token is read, so a replacement holding quotes
// or braces cannot change the script's structure; %% is a percent sign.
class QORAPORegistryScript {
 public:
  enum class Removal { kDefault, kNoRemove, kForceRemove };

  struct Value {
    std::wstring name;  // empty for a key's default value
    uint32_t type = REG_SZ;
    std::wstring text;    // REG_SZ
    uint32_t number = 0;  // REG_DWORD
  };

  struct Key {
    std::wstring name;
    Removal removal = Removal::kDefault;
    bool hasDefault = false;
    Value defaultValue;
    std::vector<Value> values;
    std::vector<Key> keys;
  };

  struct Root {
    QORRegistryHive hive = QORRegistryHive::kClassesRoot;
    std::vector<Key> keys;
  };

  // Deeper nesting is refused, so that hostile text cannot exhaust the stack.
  static constexpr int kMaxDepth = 32;

  // Replacement names compare exactly, case included.
  void AddReplacement(std::wstring name, std::wstring value);

  // Parses the whole text; on failure the roots are empty and Error() says where and why:
  // "line 3: expected '{' after 'HKCR'".
  bool Parse(std::wstring_view text);

  const std::vector<Root>& Roots() const { return roots_; }
  const std::string& Error() const { return error_; }

 private:
  struct Token {
    std::wstring text;
    bool quoted = false;
    int line = 0;
  };

  bool Tokenize(std::wstring_view text, std::vector<Token>* tokens);
  bool Substitute(const std::wstring& raw, int line, std::wstring* out);
  bool ParseKeys(const std::vector<Token>& tokens, size_t* at, int depth, std::vector<Key>* keys,
                 std::vector<Value>* values);
  bool ParseValue(const std::vector<Token>& tokens, size_t* at, Value* value);
  bool Fail(int line, const std::string& message);
  static bool Is(const Token& token, std::wstring_view word);
  static bool IsOpen(const Token& token) { return !token.quoted && token.text == L"{"; }
  static bool IsClose(const Token& token) { return !token.quoted && token.text == L"}"; }

  std::map<std::wstring, std::wstring> replacements_;
  std::vector<Root> roots_;
  std::string error_;
};
