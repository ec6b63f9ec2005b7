#include "settings/QORXMLDocumentCache.h"

#include <filesystem>

#include "common/QORTextConvert.h"
#include "platform/QORFileReader.h"

std::mutex& QORXMLDocumentCache::Lock() {
  static std::mutex lock;
  return lock;
}

std::map<std::wstring, std::shared_ptr<const tinyxml2::XMLDocument>>&
QORXMLDocumentCache::Documents() {
  static std::map<std::wstring, std::shared_ptr<const tinyxml2::XMLDocument>> documents;
  return documents;
}

std::shared_ptr<const tinyxml2::XMLDocument> QORXMLDocumentCache::Get(const std::wstring& path) {
  // Held across the parse too, so that a path is parsed once even when several objects ask at once.
  std::lock_guard<std::mutex> guard(Lock());
  auto& documents = Documents();
  const auto found = documents.find(path);
  if (found != documents.end()) return found->second;

  std::string text;
  if (!ReadFile(path, text)) return nullptr;
  std::shared_ptr<const tinyxml2::XMLDocument> document = Parse(text);
  if (document) documents.emplace(path, document);
  return document;
}

std::shared_ptr<const tinyxml2::XMLDocument> QORXMLDocumentCache::Parse(std::string_view text) {
  if (!WithinLimits(text)) return nullptr;
  auto document = std::make_shared<tinyxml2::XMLDocument>(true, tinyxml2::PRESERVE_WHITESPACE);
  if (document->Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) return nullptr;
  ResolveStrings(*document);
  return document;
}

bool QORXMLDocumentCache::ReadFile(const std::wstring& path, std::string& text) {
  if (path.empty()) return false;
  // File names are UTF-8 here, whatever the process locale says. Anything but a regular file is
  // refused: a pipe would block the caller, a device might never end.
  return QORFileReader::ReadRegularFile(std::filesystem::path(QORWideToUtf8(path)), kMaxFileBytes,
                                        text) == QORFileReader::Result::kOk;
}

namespace {

constexpr size_t npos = std::string_view::npos;

bool IsXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A text, CDATA section or attribute value; with references, one whose "&#" character references
// tinyxml2 will decode.
bool TextWithinLimits(std::string_view run, bool references) {
  if (run.size() > QORXMLDocumentCache::kMaxTextBytes) return false;
  if (!references) return true;
  for (size_t at = run.find("&#"); at != npos; at = run.find("&#", at + 2)) {
    if (run.substr(at, QORXMLDocumentCache::kMaxCharacterReferenceBytes).find(';') == npos) {
      return false;
    }
  }
  return true;
}

}  // namespace

// Follows tinyxml2's own split of the bytes into markup and text: declarations end at "?>",
// comments at "-->", CDATA at "]]>", other "<!" markup at ">", text at "<", and within a tag a
// quote opens a value that ends at the same quote. Where a malformed document makes the two
// disagree, tinyxml2 has already stopped with an error, so what it parses is never more than what
// is counted here. Each attribute needs a '=' outside quotes, so counting those never undercounts.
bool QORXMLDocumentCache::WithinLimits(std::string_view text) {
  // tinyxml2 stops at the first NUL.
  text = text.substr(0, text.find('\0'));
  const size_t n = text.size();
  size_t i = 0;
  size_t elements = 0;
  size_t attributes = 0;
  size_t depth = 0;
  // The bytes from i up to the next end (or the end of the text); i moves past that end.
  const auto runTo = [&](std::string_view end) {
    const size_t found = text.find(end, i);
    const std::string_view run = text.substr(i, found == npos ? npos : found - i);
    i = found == npos ? n : found + end.size();
    return run;
  };
  const auto startsWith = [&](std::string_view prefix) {
    return text.substr(i, prefix.size()) == prefix;
  };

  while (i < n) {
    if (text[i] != '<') {
      const size_t found = text.find('<', i);
      const std::string_view run = text.substr(i, found == npos ? npos : found - i);
      if (!TextWithinLimits(run, true)) return false;
      i = found == npos ? n : found;
    } else if (startsWith("<?")) {
      i += 2;
      runTo("?>");
    } else if (startsWith("<!--")) {
      i += 4;
      runTo("-->");
    } else if (startsWith("<![CDATA[")) {
      i += 9;
      if (!TextWithinLimits(runTo("]]>"), false)) return false;
    } else if (startsWith("<!")) {
      i += 2;
      runTo(">");
    } else {
      ++i;
      while (i < n && IsXmlSpace(text[i])) ++i;
      const bool endTag = i < n && text[i] == '/';
      bool emptyElement = false;  // "/>"
      size_t tagAttributes = 0;
      while (i < n && text[i] != '>') {
        const char c = text[i];
        if (c == '"' || c == '\'') {
          ++i;
          if (!TextWithinLimits(runTo(std::string_view(&c, 1)), true)) return false;
          emptyElement = false;
          continue;
        }
        if (c == '=' &&
            (++tagAttributes > kMaxAttributesPerElement || ++attributes > kMaxAttributes)) {
          return false;
        }
        emptyElement = c == '/';
        ++i;
      }
      if (i < n) ++i;  // the '>'
      if (endTag) {
        if (depth > 0) --depth;
      } else {
        if (++elements > kMaxElements) return false;
        if (!emptyElement && ++depth > kMaxDepth) return false;
      }
    }
  }
  return true;
}

// tinyxml2 decodes names, values and texts lazily on first access, writing into the document.
// Decoding everything once here, before the document is shared, leaves later walks read-only, so
// objects in different threads can walk the same cached document without a lock.
void QORXMLDocumentCache::ResolveStrings(const tinyxml2::XMLNode& node) {
  // Parse refuses documents nested deeper than kMaxDepth, so the recursion is bounded.
  for (const tinyxml2::XMLNode* child = node.FirstChild(); child; child = child->NextSibling()) {
    child->Value();
    if (const tinyxml2::XMLElement* element = child->ToElement()) {
      for (const tinyxml2::XMLAttribute* attribute = element->FirstAttribute(); attribute;
           attribute = attribute->Next()) {
        attribute->Name();
        attribute->Value();
      }
    }
    ResolveStrings(*child);
  }
}
