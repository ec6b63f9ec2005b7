#pragma once

#include <cstdint>
#include <string>

#include "platform/QORGuid.h"

constexpr GUID FOLDERID_ProgramData = {
    0x62AB5D82, 0xFDC1, 0x4DC3, {0xA9, 0xDD, 0x07, 0x0D, 0x1D, 0x49, 0x5D, 0x97}};
constexpr GUID FOLDERID_ProgramFiles = {
    0x905E63B6, 0xC1BF, 0x494E, {0xB2, 0x9C, 0x65, 0xB7, 0x32, 0xD3, 0xD2, 0x1A}};

// The known folders the host uses, below the state root: "ProgramData" and "Program Files". The
// path has no trailing separator; the folder is created when missing.
class QORKnownFolders {
 public:
  // E_INVALIDARG for other folder ids.
  static HRESULT GetPath(const GUID& folderId, std::wstring* path);
  // As the platform call: the path as CoTaskMemAlloc text that the caller frees.
  static HRESULT GetPath(const GUID& folderId, wchar_t** path);
};
