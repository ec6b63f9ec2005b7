#include "platform/QORRegistryWatch.h"

#include <atomic>
#include <string>
#include <vector>

#include "platform/QORRegistryTypes.h"
#include "platform/QORWinError.h"
#include "platform/win32/QORWin32.h"

#include <winternl.h>

// RegNotifyChangeKeyValue reports one change and is then armed again by ConsumeSignal, on a handle
// of our own so that the caller may close theirs. The system does not report the deletion of the
// watched key, which callers need to make a new watch (IsStale): a second notification, on the
// parent's list of subkeys, is handled on a thread-pool wait that re-arms it and signals the watch
// once our key is gone. It keeps the parent's changes from waking the watch, and each
// notification is armed again only after it fired (one armed twice would fire twice).

namespace {

// The notification outlives the thread that armed it: waits run on any thread.
constexpr DWORD kThreadAgnostic = 0x10000000;
// Changes that came after a signal and before its re-arm fire again at once; those are taken in
// the same ConsumeSignal, up to this many rounds.
constexpr int kMaxRearms = 16;

constexpr int kKeyNameInformation = 3;
constexpr LONG kStatusBufferOverflow = static_cast<LONG>(0x80000005);
constexpr LONG kStatusBufferTooSmall = static_cast<LONG>(0xC0000023);
using NtQueryKeyCall = LONG(NTAPI*)(HANDLE key, int informationClass, void* information,
                                    ULONG length, ULONG* resultLength);
using NtOpenKeyCall = LONG(NTAPI*)(HANDLE* key, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes);

template <typename Call>
Call NtdllCall(const char* name) {
  const FARPROC found = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name);
  return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(found));
}

// The key above key, opened for notification; null for a top key. The Win32 calls cannot name a
// key's parent, so it is opened by the full name the kernel gives.
HKEY OpenParent(HKEY key) {
  static const auto queryKey = NtdllCall<NtQueryKeyCall>("NtQueryKey");
  static const auto openKey = NtdllCall<NtOpenKeyCall>("NtOpenKey");
  if (queryKey == nullptr || openKey == nullptr) return nullptr;
  std::vector<ULONG> buffer(256);  // KEY_NAME_INFORMATION: the length in bytes, then the name
  ULONG needed = 0;
  LONG status = 0;
  while (true) {
    const ULONG size = static_cast<ULONG>(buffer.size() * sizeof(ULONG));
    status = queryKey(key, kKeyNameInformation, buffer.data(), size, &needed);
    if ((status != kStatusBufferOverflow && status != kStatusBufferTooSmall) || needed <= size) {
      break;
    }
    buffer.resize(needed / sizeof(ULONG) + 1);
  }
  if (status < 0) return nullptr;
  const std::wstring name(reinterpret_cast<const wchar_t*>(buffer.data() + 1),
                          buffer[0] / sizeof(wchar_t));
  const size_t cut = name.rfind(L'\\');
  if (cut == std::wstring::npos || cut == 0) return nullptr;
  UNICODE_STRING parentName{static_cast<USHORT>(cut * sizeof(wchar_t)),
                            static_cast<USHORT>(cut * sizeof(wchar_t)),
                            const_cast<wchar_t*>(name.data())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &parentName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE parent = nullptr;
  return openKey(&parent, KEY_NOTIFY, &attributes) >= 0 ? static_cast<HKEY>(parent) : nullptr;
}

bool IsDeleted(HKEY key) {
  return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr, nullptr, nullptr, nullptr) == ERROR_KEY_DELETED;
}

}  // namespace

struct QORRegistryWatch::Tree {
  HKEY key = nullptr;       // ours, with the rights to arm the watch and to tell it deleted
  HANDLE signal = nullptr;  // the watch's handle (auto-reset)
  bool subtree = false;
  uint32_t filter = 0;
  HKEY parent = nullptr;  // null for a top key, which cannot be deleted
  HANDLE parentSignal = nullptr;
  HANDLE parentWait = nullptr;
  std::atomic<bool> deleted{false};

  ~Tree() {
    // Waits for a running callback, which uses what is closed below.
    if (parentWait != nullptr) UnregisterWaitEx(parentWait, INVALID_HANDLE_VALUE);
    if (parentSignal != nullptr) CloseHandle(parentSignal);
    if (parent != nullptr) RegCloseKey(parent);
    if (key != nullptr) RegCloseKey(key);
    if (signal != nullptr) CloseHandle(signal);
  }

  LSTATUS Arm() const {
    return RegNotifyChangeKeyValue(key, subtree, filter | kThreadAgnostic, signal, TRUE);
  }

  // Arms the parent's notification, then looks for our key: a deletion after the look fires it.
  void LookAtParent() {
    if (deleted.load()) return;
    RegNotifyChangeKeyValue(parent, FALSE, REG_NOTIFY_CHANGE_NAME | kThreadAgnostic, parentSignal,
                            TRUE);
    if (IsDeleted(key)) {
      deleted.store(true);
      SetEvent(signal);
    }
  }

  static void CALLBACK ParentChanged(void* context, BOOLEAN /*timedOut*/) {
    static_cast<Tree*>(context)->LookAtParent();
  }
};

uint32_t QORRegistryWatch::Create(intptr_t keyHandle, uint32_t filter, bool subtree,
                                  std::unique_ptr<QORRegistryWatch>* out) {
  const HKEY source = reinterpret_cast<HKEY>(keyHandle);
  auto tree = std::make_unique<Tree>();
  tree->subtree = subtree;
  tree->filter = filter;
  // A new handle with query rights tells a deleted key; a handle the key's security does not give
  // those is a copy of the caller's.
  if (RegOpenKeyExW(source, nullptr, 0, KEY_NOTIFY | KEY_QUERY_VALUE, &tree->key) !=
      ERROR_SUCCESS) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
      return GetLastError();
    }
    tree->key = static_cast<HKEY>(copy);
  }
  tree->signal = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (tree->signal == nullptr) return GetLastError();
  const LSTATUS armed = tree->Arm();
  if (armed != ERROR_SUCCESS) return armed;
  tree->parent = OpenParent(tree->key);
  if (tree->parent != nullptr) {
    tree->parentSignal = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (tree->parentSignal == nullptr ||
        !RegisterWaitForSingleObject(&tree->parentWait, tree->parentSignal, &Tree::ParentChanged,
                                     tree.get(), INFINITE, WT_EXECUTEINWAITTHREAD)) {
      tree->parentWait = nullptr;
      return GetLastError();
    }
    tree->LookAtParent();
  }
  const intptr_t signal = reinterpret_cast<intptr_t>(tree->signal);
  out->reset(new QORRegistryWatch(signal, filter, std::move(tree)));
  return ERROR_SUCCESS;
}

QORRegistryWatch::QORRegistryWatch(intptr_t nativeHandle, uint32_t filter,
                                   std::unique_ptr<Tree> tree)
    : handle_(nativeHandle), filter_(filter), tree_(std::move(tree)) {}

// The tree owns every handle, the watch's own included.
QORRegistryWatch::~QORRegistryWatch() = default;

bool QORRegistryWatch::ConsumeSignal() {
  for (int round = 0; round < kMaxRearms; ++round) {
    // A key that can no longer be watched (deleted, most likely) hears nothing more.
    if (tree_->deleted.load() || tree_->Arm() != ERROR_SUCCESS) {
      stale_ = true;
      return true;
    }
    if (WaitForSingleObject(tree_->signal, 0) != WAIT_OBJECT_0) break;
  }
  return true;
}
