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

  // What one document may hold. A linear scan of the bytes checks these before tinyxml2 parses
  // them, because tinyxml2 compares each attribute with every earlier one of its element (160,000
  // attributes on one element took minutes) and spends about a hundred bytes per node. Real files
  // stay far below each bound: the laptop example has 177 elements, 271 attributes, at most 3 on
  // one element, 4 levels and texts under 100 bytes.
  //
  // Attributes on one element (or end tag, which tinyxml2 also reads attributes from): a real
  // element has fewer than 10; at this bound the duplicate check is a few thousand comparisons.
  static constexpr size_t kMaxAttributesPerElement = 64;
  // Attributes in the whole document, for the memory they take: four per element at the element
  // bound.
  static constexpr size_t kMaxAttributes = 400000;
  // Elements in the whole document (empty-element tags included): a device with a hundred modes of
  // a hundred controls has about 10,000.
  static constexpr size_t kMaxElements = 100000;
  // Nesting of elements: real files nest 4 deep. Walks over the document recurse once per level.
  static constexpr size_t kMaxDepth = 32;
  // Bytes of one text (element text, CDATA section or attribute value): names and values of
  // controls are short, and a long list of values fits many times over.
  static constexpr size_t kMaxTextBytes = 64u * 1024u;
  // Bytes from "&#" to the ';' that ends the character reference ("&#x10FFFF;" is 10). tinyxml2
  // looks for the ';' up to the end of the text, so unended references would cost the square of
  // the text's length.
  static constexpr size_t kMaxCharacterReferenceBytes = 32;

  // The cached document of path, loading and parsing it on first use; null when the path is not a
  // regular file of at most kMaxFileBytes (opened once, without blocking or following a link), is
  // past one of the bounds above or does not parse.
  static std::shared_ptr<const tinyxml2::XMLDocument> Get(const std::wstring& path);

  // Parses text (entities processed) into a document that any number of threads may then read at
  // once; null when it is past one of the bounds above or does not parse.
  static std::shared_ptr<const tinyxml2::XMLDocument> Parse(std::string_view text);

 private:
  static bool ReadFile(const std::wstring& path, std::string& text);
  static bool WithinLimits(std::string_view text);
  static void ResolveStrings(const tinyxml2::XMLNode& node);

  static std::mutex& Lock();
  static std::map<std::wstring, std::shared_ptr<const tinyxml2::XMLDocument>>& Documents();
};
