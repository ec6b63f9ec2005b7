#include "platform/QORKnownFolders.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/QORComApi.h"
#include "platform/QORSystemInfo.h"
#include "platform/win32/QORWin32.h"

// The shell's folder call, declared as shlobj.h does: that header brings the system's GUID_NULL
// and string calls, which this layer defines for itself.
extern "C" __declspec(dllimport) HRESULT
    __stdcall SHGetKnownFolderPath(const GUID& folderId, DWORD flags, HANDLE token, wchar_t** path);

namespace {

const wchar_t* FolderName(const GUID& folderId) {
  if (folderId == FOLDERID_ProgramData) return L"ProgramData";
  if (folderId == FOLDERID_ProgramFiles) return L"Program Files";
  return nullptr;
}

}  // namespace

HRESULT QORKnownFolders::GetPath(const GUID& folderId, std::wstring* path) {
  if (path == nullptr) return E_POINTER;
  const wchar_t* name = FolderName(folderId);
  if (name == nullptr) return E_INVALIDARG;
  const char* root = std::getenv("QOR_ROOT");
  if (root == nullptr || *root == '\0') {
    // The machine's own folders.
    wchar_t* system = nullptr;
    const HRESULT hr = ::SHGetKnownFolderPath(folderId, 0, nullptr, &system);
    if (SUCCEEDED(hr)) *path = system;
    CoTaskMemFree(system);
    return hr;
  }
  // A state root of its own (the tests' and any side-by-side install's) keeps both beneath it.
  const std::filesystem::path folder = QORSystemInfo::GetStateRoot() / name;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  *path = folder.wstring();
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
