#include "settings/QORXMLDocumentCache.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "common/QORTextConvert.h"

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
  auto document = std::make_shared<tinyxml2::XMLDocument>(true, tinyxml2::PRESERVE_WHITESPACE);
  if (document->Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) return nullptr;
  ResolveStrings(*document);
  return document;
}

bool QORXMLDocumentCache::ReadFile(const std::wstring& path, std::string& text) {
  if (path.empty()) return false;
  // File names are UTF-8 here, whatever the process locale says.
  const std::filesystem::path file(QORWideToUtf8(path));
  std::error_code error;
  // Refusing anything but a regular file keeps a directory, a pipe or a device from being read
  // (a pipe would block the caller, a device might never end).
  if (!std::filesystem::is_regular_file(file, error) || error) return false;
  const auto size = std::filesystem::file_size(file, error);
  if (error || size > kMaxFileBytes) return false;

  std::ifstream stream(file, std::ios::binary);
  if (!stream) return false;
  text.resize(static_cast<size_t>(size));
  stream.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (stream.bad()) return false;
  // The file may have shrunk since it was measured.
  text.resize(static_cast<size_t>(stream.gcount()));
  return true;
}

// tinyxml2 decodes names, values and texts lazily on first access, writing into the document.
// Decoding everything once here, before the document is shared, leaves later walks read-only, so
// objects in different threads can walk the same cached document without a lock.
void QORXMLDocumentCache::ResolveStrings(const tinyxml2::XMLNode& node) {
  // Nesting is bounded by tinyxml2 (TINYXML2_MAX_ELEMENT_DEPTH), so the recursion is too.
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
