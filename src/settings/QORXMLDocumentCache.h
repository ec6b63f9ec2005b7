#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <tinyxml2.h>

// Parsed configuration documents shared by every configuration object of the process, keyed by
// path. A document stays cached until the module is unloaded: a file changed on disk is seen only
// by a new process. Failed loads are not cached, so they are tried again next time.
class QORXMLDocumentCache {
 public:
  // Files larger than this are refused rather than read into memory.
  static constexpr size_t kMaxFileBytes = 16u * 1024u * 1024u;

  // The cached document of path, loading and parsing it on first use; null when the path is not a
  // readable regular file of at most kMaxFileBytes or does not parse.
  static std::shared_ptr<const tinyxml2::XMLDocument> Get(const std::wstring& path);

  // Parses text (entities processed) into a document that any number of threads may then read at
  // once; null when it does not parse.
  static std::shared_ptr<const tinyxml2::XMLDocument> Parse(std::string_view text);

 private:
  static bool ReadFile(const std::wstring& path, std::string& text);
  static void ResolveStrings(const tinyxml2::XMLNode& node);

  static std::mutex& Lock();
  static std::map<std::wstring, std::shared_ptr<const tinyxml2::XMLDocument>>& Documents();
};
