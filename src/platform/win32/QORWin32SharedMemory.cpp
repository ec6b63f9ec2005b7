#include "platform/win32/QORWin32SharedMemory.h"

#include <cstdint>

#include "common/QORTextConvert.h"
#include "common/QORTrace.h"
#include "platform/win32/QORWin32ObjectName.h"
#include "platform/win32/QORWin32Security.h"

namespace {

constexpr DWORD kAccess = FILE_MAP_READ | FILE_MAP_WRITE;

HANDLE OpenMapping(const wchar_t* systemName) {
  return OpenFileMappingW(kAccess, FALSE, systemName);
}

}  // namespace

QORWin32SharedMemory::~QORWin32SharedMemory() {
  if (view_ != nullptr) UnmapViewOfFile(view_);
}

QORNamedObjectError QORWin32SharedMemory::Map(HANDLE mapping, size_t size) {
  mapping_.Reset(mapping);
  void* view = MapViewOfFile(mapping, kAccess, 0, 0, 0);
  if (view == nullptr) return QORWin32ObjectName::ErrorFor(GetLastError());
  // The system tells a mapping's size only to the page: a block made a few bytes smaller than
  // asked passes, and its last page is the system's zeros up to the end, so nothing is read or
  // written past what exists.
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(view, &region, sizeof(region)) != sizeof(region) || region.RegionSize < size) {
    UnmapViewOfFile(view);
    return QORNamedObjectError::kFailed;
  }
  view_ = view;
  size_ = size;
  return QORNamedObjectError::kNone;
}

std::unique_ptr<IQORSharedMemory> QORCreateSharedMemory(const std::wstring& name, size_t size,
                                                        bool* alreadyExisted) {
  if (alreadyExisted != nullptr) *alreadyExisted = false;
  if (size == 0) return nullptr;
  auto create = [size](const wchar_t* systemName) {
    const uint64_t bytes = size;
    return CreateFileMappingW(INVALID_HANDLE_VALUE, QORWin32Security::ForNamedObjects(),
                              PAGE_READWRITE, static_cast<DWORD>(bytes >> 32),
                              static_cast<DWORD>(bytes), systemName);
  };
  DWORD error = ERROR_SUCCESS;
  HANDLE mapping = QORWin32ObjectName::Create(name, create, OpenMapping, alreadyExisted, &error);
  if (mapping == nullptr) return nullptr;
  auto block = std::make_unique<QORWin32SharedMemory>();
  const QORNamedObjectError mapped = block->Map(mapping, size);
  if (mapped != QORNamedObjectError::kNone) {
    QORTrace({"QORWin32SharedMemory", __LINE__, "QORCreateSharedMemory"},
             "%s exists smaller than %llu bytes or cannot be mapped (%d)\n",
             QORWideToUtf8(name).c_str(), static_cast<unsigned long long>(size),
             static_cast<int>(mapped));
    return nullptr;
  }
  return block;
}

std::unique_ptr<IQORSharedMemory> QOROpenSharedMemory(const std::wstring& name, size_t size,
                                                      QORNamedObjectError* error) {
  QORNamedObjectError result = QORNamedObjectError::kFailed;
  std::unique_ptr<QORWin32SharedMemory> block;
  if (size != 0) {
    DWORD opened = ERROR_SUCCESS;
    HANDLE mapping = QORWin32ObjectName::Open(name, OpenMapping, &opened);
    result = QORWin32ObjectName::ErrorFor(opened);
    if (mapping != nullptr) {
      block = std::make_unique<QORWin32SharedMemory>();
      result = block->Map(mapping, size);
    }
  }
  if (error != nullptr) *error = result;
  if (result != QORNamedObjectError::kNone) return nullptr;
  return block;
}

bool QORSharedMemoryInTheWay(const std::wstring& name, std::string* what, std::string* path) {
  return QORWin32ObjectName::InTheWay(name, OpenMapping, what, path);
}
