#include "platform/win32/QORWin32NamedMutex.h"

#include "common/QORTrace.h"
#include "platform/win32/QORWin32ObjectName.h"
#include "platform/win32/QORWin32Security.h"

namespace {

constexpr DWORD kMutexOpenAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

HANDLE OpenMutexNamed(const wchar_t* systemName) {
  return OpenMutexW(kMutexOpenAccess, FALSE, systemName);
}

}  // namespace

QORWin32NamedMutex::~QORWin32NamedMutex() {
  // As on the POSIX side, a holder that closes its handle gives back what it took through it;
  // the system would keep the mutex owned until the thread ends.
  if (depth_.load() == 0) return;
  if (ownerThread_.load() == GetCurrentThreadId()) {
    QORTrace({"QORWin32NamedMutex", __LINE__, "QORWin32NamedMutex::~QORWin32NamedMutex"},
             "closing a mutex still owned %u times; releasing it\n", depth_.load());
    while (depth_.load() > 0 && Release()) {
    }
  } else {
    QORTrace({"QORWin32NamedMutex", __LINE__, "QORWin32NamedMutex::~QORWin32NamedMutex"},
             "closing a mutex owned by another thread\n");
  }
}

void QORWin32NamedMutex::TakeInitialOwnership() {
  ownerThread_.store(GetCurrentThreadId());
  depth_.store(1);
}

QORMutexWaitResult QORWin32NamedMutex::Wait(uint32_t timeoutMs) {
  QORMutexWaitResult outcome;
  switch (WaitForSingleObject(handle_.Get(), timeoutMs)) {
    case WAIT_OBJECT_0:
      outcome = QORMutexWaitResult::kAcquired;
      break;
    case WAIT_ABANDONED:
      outcome = QORMutexWaitResult::kAbandoned;
      break;
    case WAIT_TIMEOUT:
      return QORMutexWaitResult::kTimeout;
    default:
      return QORMutexWaitResult::kFailed;
  }
  ownerThread_.store(GetCurrentThreadId());
  depth_.fetch_add(1);
  return outcome;
}

bool QORWin32NamedMutex::Release() {
  if (!ReleaseMutex(handle_.Get())) return false;
  // Only the owner gets here; other handles of this process count their own ownership.
  if (ownerThread_.load() == GetCurrentThreadId() && depth_.load() > 0) depth_.fetch_sub(1);
  return true;
}

std::unique_ptr<IQORNamedMutex> QORCreateNamedMutex(const std::wstring& name, bool initialOwner,
                                                    bool* alreadyExisted) {
  auto create = [&](const wchar_t* systemName) {
    return CreateMutexW(QORWin32Security::ForNamedObjects(), initialOwner, systemName);
  };
  bool existed = false;
  DWORD error = ERROR_SUCCESS;
  HANDLE handle = QORWin32ObjectName::Create(name, create, OpenMutexNamed, &existed, &error);
  if (alreadyExisted != nullptr) *alreadyExisted = existed;
  if (handle == nullptr) return nullptr;
  auto mutex = std::make_unique<QORWin32NamedMutex>(handle);
  // The system grants initial ownership of a new mutex only.
  if (initialOwner && !existed) mutex->TakeInitialOwnership();
  return mutex;
}

std::unique_ptr<IQORNamedMutex> QOROpenNamedMutex(const std::wstring& name,
                                                  QORNamedObjectError* error) {
  DWORD result = ERROR_SUCCESS;
  HANDLE handle = QORWin32ObjectName::Open(name, OpenMutexNamed, &result);
  if (error != nullptr) *error = QORWin32ObjectName::ErrorFor(result);
  if (handle == nullptr) return nullptr;
  return std::make_unique<QORWin32NamedMutex>(handle);
}

// The names of this backend hold nothing but kernel objects, so the one thing that can stand in a
// mutex's way is a kernel object of another type under its name.
bool QORNamedMutexInTheWay(const std::wstring& name, std::string* what, std::string* path) {
  return QORWin32ObjectName::InTheWay(name, OpenMutexNamed, what, path);
}
