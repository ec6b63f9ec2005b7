#include "platform/win32/QORWin32Event.h"

#include <mutex>
#include <unordered_set>

#include "common/QORTrace.h"
#include "platform/QOREventHandle.h"
#include "platform/win32/QORWin32ObjectName.h"
#include "platform/win32/QORWin32Security.h"

namespace {

// Held across a look-up and the duplication, so that the event found cannot end meanwhile.
std::mutex& TableLock() {
  static std::mutex* lock = new std::mutex;  // lives as long as the process
  return *lock;
}

std::unordered_set<const void*>& Table() {
  static auto* table = new std::unordered_set<const void*>;
  return *table;
}

// The live event a HANDLE names, or null; under the lock.
const QORWin32Event* FindLive(HANDLE handle) {
  if (handle == nullptr || Table().count(handle) == 0) return nullptr;
  return static_cast<const QORWin32Event*>(static_cast<const IQOREvent*>(handle));
}

constexpr DWORD kEventOpenAccess = EVENT_MODIFY_STATE | SYNCHRONIZE;

}  // namespace

QORWin32Event::QORWin32Event(HANDLE handle) : handle_(handle) {
  std::lock_guard<std::mutex> lock(TableLock());
  Table().insert(static_cast<const IQOREvent*>(this));
}

QORWin32Event::~QORWin32Event() {
  std::lock_guard<std::mutex> lock(TableLock());
  Table().erase(static_cast<const IQOREvent*>(this));
}

uint32_t QORDuplicateEvent(HANDLE handle, std::unique_ptr<IQOREvent>* out) {
  if (out == nullptr) return ERROR_INVALID_PARAMETER;
  out->reset();
  // The copy registers itself; it is made after the lock is let go.
  HANDLE copy = nullptr;
  {
    std::lock_guard<std::mutex> lock(TableLock());
    const QORWin32Event* event = FindLive(handle);
    if (event == nullptr) return ERROR_INVALID_HANDLE;
    if (!DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(event->GetWaitHandle()),
                         GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      return GetLastError();
    }
  }
  *out = std::make_unique<QORWin32Event>(copy);
  return ERROR_SUCCESS;
}

std::unique_ptr<IQOREvent> QORCreateEvent(bool manualReset, bool initiallySet) {
  HANDLE handle = CreateEventW(nullptr, manualReset, initiallySet, nullptr);
  if (handle == nullptr) {
    QORTrace({"QORWin32Event", __LINE__, "QORCreateEvent"}, "CreateEventW failed, error %lu\n",
             GetLastError());
    return nullptr;
  }
  return std::make_unique<QORWin32Event>(handle);
}

std::unique_ptr<IQOREvent> QORCreateNamedEvent(const std::wstring& name, bool manualReset,
                                               bool initiallySet, bool* alreadyExisted) {
  auto create = [&](const wchar_t* systemName) {
    return CreateEventW(QORWin32Security::ForNamedObjects(), manualReset, initiallySet, systemName);
  };
  auto open = [](const wchar_t* systemName) {
    return OpenEventW(kEventOpenAccess, FALSE, systemName);
  };
  DWORD error = ERROR_SUCCESS;
  HANDLE handle = QORWin32ObjectName::Create(name, create, open, alreadyExisted, &error);
  if (handle == nullptr) return nullptr;
  return std::make_unique<QORWin32Event>(handle);
}

std::unique_ptr<IQOREvent> QOROpenNamedEvent(const std::wstring& name) {
  auto open = [](const wchar_t* systemName) {
    return OpenEventW(kEventOpenAccess, FALSE, systemName);
  };
  DWORD error = ERROR_SUCCESS;
  HANDLE handle = QORWin32ObjectName::Open(name, open, &error);
  if (handle == nullptr) return nullptr;
  return std::make_unique<QORWin32Event>(handle);
}
