#include "platform/QORKnownFolders.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "common/QORTextConvert.h"
#include "platform/QORComApi.h"
#include "platform/QORSystemInfo.h"
#include "platform/QORWinError.h"
#include "platform/posix/QORStateTree.h"

HRESULT QORKnownFolders::GetPath(const GUID& folderId, std::wstring* path) {
  if (path == nullptr) return E_POINTER;
  const char* name = nullptr;
  if (folderId == FOLDERID_ProgramData) name = "ProgramData";
  if (folderId == FOLDERID_ProgramFiles) name = "Program Files";
  if (name == nullptr) return E_INVALIDARG;
  // Made beneath the root like every stored folder: 0770, and never through a planted link.
  const int fd = QORStateTree::OpenDirectory(name, true);
  if (fd < 0) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  ::close(fd);
  *path = QORUtf8ToWide((QORSystemInfo::GetStateRoot() / name).string());
  return S_OK;
}

HRESULT QORKnownFolders::GetPath(const GUID& folderId, wchar_t** path) {
  if (path == nullptr) return E_POINTER;
  *path = nullptr;
  std::wstring text;
  const HRESULT hr = GetPath(folderId, &text);
  if (FAILED(hr)) return hr;
  const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  *path = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
  if (*path == nullptr) return E_OUTOFMEMORY;
  std::memcpy(*path, text.c_str(), bytes);
  return S_OK;
}
