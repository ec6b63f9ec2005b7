#include "apo/QORAPORegistryScript.h"

#include "common/QORTextConvert.h"

namespace {

bool IsSpace(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    // Keywords are ASCII; fold only that range so that no locale takes part.
    const auto fold = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// "'text'" for messages, cut so that a hostile token cannot make a huge one.
std::string Quote(const std::wstring& text) {
  constexpr size_t kShown = 40;
  std::string shown = QORWideToUtf8(std::wstring_view(text).substr(0, kShown));
  if (text.size() > kShown) shown += "...";
  return "'" + shown + "'";
}

bool ParseNumber(std::wstring_view text, uint32_t* out) {
  uint64_t value = 0;
  uint32_t base = 10;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  for (const wchar_t c : text) {
    uint32_t digit = 0;
    if (c >= L'0' && c <= L'9') {
      digit = static_cast<uint32_t>(c - L'0');
    } else if (base == 16 && c >= L'a' && c <= L'f') {
      digit = static_cast<uint32_t>(c - L'a' + 10);
    } else if (base == 16 && c >= L'A' && c <= L'F') {
      digit = static_cast<uint32_t>(c - L'A' + 10);
    } else {
      return false;
    }
    value = value * base + digit;
    if (value > 0xFFFFFFFFull) return false;
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

void QORAPORegistryScript::AddReplacement(std::wstring name, std::wstring value) {
  replacements_[std::move(name)] = std::move(value);
}

bool QORAPORegistryScript::Fail(int line, const std::string& message) {
  roots_.clear();
  error_ = "line " + std::to_string(line) + ": " + message;
  return false;
}

bool QORAPORegistryScript::Is(const Token& token, std::wstring_view word) {
  return !token.quoted && EqualsNoCase(token.text, word);
}

bool QORAPORegistryScript::Substitute(const std::wstring& raw, int line, std::wstring* out) {
  out->clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != L'%') {
      out->push_back(raw[i]);
      continue;
    }
    const size_t end = raw.find(L'%', i + 1);
    if (end == std::wstring::npos) return Fail(line, "unterminated '%' in " + Quote(raw));
    if (end == i + 1) {
      out->push_back(L'%');
    } else {
      const auto found = replacements_.find(raw.substr(i + 1, end - i - 1));
      if (found == replacements_.end()) {
        return Fail(line, "unknown replacement " + Quote(raw.substr(i, end - i + 1)));
      }
      out->append(found->second);
    }
    i = end;
  }
  return true;
}

bool QORAPORegistryScript::Tokenize(std::wstring_view text, std::vector<Token>* tokens) {
  int line = 1;
  size_t i = 0;
  while (i < text.size()) {
    const wchar_t c = text[i];
    if (IsSpace(c)) {
      if (c == L'\n') ++line;
      ++i;
      continue;
    }
    Token token;
    token.line = line;
    std::wstring raw;
    if (c == L'\'') {
      token.quoted = true;
      for (++i;; ++i) {
        if (i >= text.size()) return Fail(token.line, "unterminated quoted text");
        if (text[i] == L'\'') {
          if (i + 1 < text.size() && text[i + 1] == L'\'') {
            raw.push_back(L'\'');
            ++i;
            continue;
          }
          ++i;
          break;
        }
        if (text[i] == L'\n') ++line;
        raw.push_back(text[i]);
      }
      if (i < text.size() && !IsSpace(text[i])) {
        return Fail(line, "no space after the quoted text " + Quote(raw));
      }
    } else {
      while (i < text.size() && !IsSpace(text[i])) {
        if (text[i] == L'\'') return Fail(line, "a quote inside the name " + Quote(raw));
        raw.push_back(text[i++]);
      }
    }
    if (raw.find(L'%') != std::wstring::npos) {
      // Replaced text is data: it never reads as a brace or a keyword.
      token.quoted = true;
      if (!Substitute(raw, token.line, &token.text)) return false;
    } else {
      token.text = std::move(raw);
    }
    tokens->push_back(std::move(token));
  }
  return true;
}

bool QORAPORegistryScript::ParseValue(const std::vector<Token>& tokens, size_t* at, Value* value) {
  const int line = tokens[*at - 1].line;
  if (*at + 1 >= tokens.size()) return Fail(line, "expected a type and a value after '='");
  const Token& type = tokens[(*at)++];
  const Token& data = tokens[(*at)++];
  if (IsOpen(data) || IsClose(data)) {
    return Fail(data.line, "expected a value after the type " + Quote(type.text));
  }
  if (Is(type, L"s")) {
    value->type = REG_SZ;
    value->text = data.text;
    if (value->text.find(L'\0') != std::wstring::npos) {
      return Fail(data.line, "a text value holds a NUL character");
    }
    return true;
  }
  if (Is(type, L"d")) {
    value->type = REG_DWORD;
    if (!ParseNumber(data.text, &value->number)) {
      return Fail(data.line, "not a 32-bit number: " + Quote(data.text));
    }
    return true;
  }
  return Fail(type.line, "unknown value type " + Quote(type.text) + " (expected s or d)");
}

bool QORAPORegistryScript::ParseKeys(const std::vector<Token>& tokens, size_t* at, int depth,
                                     std::vector<Key>* keys, std::vector<Value>* values) {
  if (depth > kMaxDepth) {
    return Fail(tokens[*at - 1].line, "keys nested deeper than " + std::to_string(kMaxDepth));
  }
  for (;;) {
    if (*at >= tokens.size()) {
      return Fail(tokens.empty() ? 1 : tokens.back().line, "missing '}' at the end");
    }
    const Token& first = tokens[*at];
    if (IsClose(first)) {
      ++*at;
      return true;
    }
    if (IsOpen(first)) return Fail(first.line, "'{' without a key name before it");
    if (Is(first, L"val")) {
      if (values == nullptr) return Fail(first.line, "'val' directly under a root key");
      if (*at + 2 >= tokens.size() || IsOpen(tokens[*at + 1]) || IsClose(tokens[*at + 1]) ||
          tokens[*at + 2].quoted || tokens[*at + 2].text != L"=") {
        return Fail(first.line, "expected 'val Name = type value'");
      }
      Value value;
      value.name = tokens[*at + 1].text;
      *at += 3;
      if (!ParseValue(tokens, at, &value)) return false;
      values->push_back(std::move(value));
      continue;
    }
    Key key;
    if (Is(first, L"NoRemove")) {
      key.removal = Removal::kNoRemove;
      ++*at;
    } else if (Is(first, L"ForceRemove")) {
      key.removal = Removal::kForceRemove;
      ++*at;
    }
    if (*at >= tokens.size() || IsOpen(tokens[*at]) || IsClose(tokens[*at])) {
      return Fail(first.line, "expected a key name after " + Quote(first.text));
    }
    const Token& name = tokens[(*at)++];
    if (name.text.empty()) return Fail(name.line, "an empty key name");
    if (name.text.size() > kQORRegistryMaxKeyNameChars) {
      return Fail(name.line, "a key name longer than 255 characters");
    }
    if (name.text.find(L'\\') != std::wstring::npos ||
        name.text.find(L'\0') != std::wstring::npos) {
      return Fail(name.line, "a backslash or NUL in the key name " + Quote(name.text));
    }
    key.name = name.text;
    if (*at < tokens.size() && !tokens[*at].quoted && tokens[*at].text == L"=") {
      ++*at;
      key.hasDefault = true;
      if (!ParseValue(tokens, at, &key.defaultValue)) return false;
    }
    if (*at < tokens.size() && IsOpen(tokens[*at])) {
      ++*at;
      if (!ParseKeys(tokens, at, depth + 1, &key.keys, &key.values)) return false;
    }
    keys->push_back(std::move(key));
  }
}

bool QORAPORegistryScript::Parse(std::wstring_view text) {
  roots_.clear();
  error_.clear();
  std::vector<Token> tokens;
  if (!Tokenize(text, &tokens)) return false;
  std::vector<Root> roots;
  size_t at = 0;
  while (at < tokens.size()) {
    const Token& name = tokens[at++];
    Root root;
    if (Is(name, L"HKCR") || Is(name, L"HKEY_CLASSES_ROOT")) {
      root.hive = QORRegistryHive::kClassesRoot;
    } else if (Is(name, L"HKLM") || Is(name, L"HKEY_LOCAL_MACHINE")) {
      root.hive = QORRegistryHive::kLocalMachine;
    } else {
      return Fail(name.line, "unknown root key " + Quote(name.text));
    }
    if (at >= tokens.size() || !IsOpen(tokens[at])) {
      return Fail(name.line, "expected '{' after " + Quote(name.text));
    }
    ++at;
    if (!ParseKeys(tokens, &at, 1, &root.keys, nullptr)) return false;
    roots.push_back(std::move(root));
  }
  roots_ = std::move(roots);
  return true;
}
