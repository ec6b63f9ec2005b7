#include "platform/QORKnownFolders.h"

#include <cstring>
#include <filesystem>

#include "common/QORTextConvert.h"
#include "platform/QORComApi.h"
#include "platform/QORSystemInfo.h"
#include "platform/QORWinError.h"

HRESULT QORKnownFolders::GetPath(const GUID& folderId, std::wstring* path) {
  if (path == nullptr) return E_POINTER;
  const char* name = nullptr;
  if (folderId == FOLDERID_ProgramData) name = "ProgramData";
  if (folderId == FOLDERID_ProgramFiles) name = "Program Files";
  if (name == nullptr) return E_INVALIDARG;
  const std::filesystem::path folder = QORSystemInfo::GetStateRoot() / name;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  *path = QORUtf8ToWide(folder.string());
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
