#include "platform/QORTemporaryFile.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <string>

#include "platform/win32/QORWin32.h"

namespace {

bool ProcessRunning(DWORD processId) {
  const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, processId);
  if (process == nullptr) return ::GetLastError() == ERROR_ACCESS_DENIED;
  const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  ::CloseHandle(process);
  return running;
}

}  // namespace

bool QORTemporaryFile::Create(const std::filesystem::path& prefix) {
  Discard();
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::uniform_int_distribution<size_t> pick(0, sizeof(kLetters) - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring name = prefix.native() + std::to_wstring(::GetCurrentProcessId()) + L"-";
    for (int i = 0; i < 6; ++i) name += static_cast<wchar_t>(kLetters[pick(random)]);
    // Shared for deleting, so that Commit can rename it while it is open; the name's process id
    // keeps other runs from removing it meanwhile.
    const HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_FILE_EXISTS) continue;
      return false;
    }
    const int descriptor =
        ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (descriptor < 0) {
      ::CloseHandle(handle);
      ::DeleteFileW(name.c_str());
      return false;
    }
    descriptor_ = descriptor;
    path_ = name;
    return true;
  }
  return false;
}

bool QORTemporaryFile::Commit(const std::filesystem::path& target) {
  if (descriptor_ < 0) return false;
  // Renamed while still open, so no other run takes it for abandoned meanwhile.
  const bool moved = ::MoveFileExW(path_.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  ::_close(descriptor_);
  descriptor_ = -1;
  if (!moved) ::DeleteFileW(path_.c_str());
  path_.clear();
  return moved;
}

void QORTemporaryFile::Discard() {
  if (descriptor_ < 0) return;
  ::_close(descriptor_);
  descriptor_ = -1;
  ::DeleteFileW(path_.c_str());
  path_.clear();
}

void QORTemporaryFile::RemoveAbandoned(const std::filesystem::path& prefix) {
  std::filesystem::path folder = prefix.parent_path();
  if (folder.empty()) folder = L".";
  const std::wstring start = prefix.filename().native();
  std::error_code failed;
  for (auto entry = std::filesystem::directory_iterator(folder, failed);
       !failed && entry != std::filesystem::directory_iterator(); entry.increment(failed)) {
    const std::wstring name = entry->path().filename().native();
    if (name.size() <= start.size() || name.compare(0, start.size(), start) != 0) continue;
    const std::wstring rest = name.substr(start.size());
    const size_t dash = rest.find(L'-');
    if (dash == 0 || dash > 10 || rest.size() != dash + 7 ||
        !std::all_of(rest.begin(), rest.begin() + static_cast<long>(dash),
                     [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
      continue;
    }
    const unsigned long long writer = std::stoull(rest.substr(0, dash));
    if (writer > MAXDWORD || ProcessRunning(static_cast<DWORD>(writer))) continue;
    if (entry->is_regular_file(failed)) ::DeleteFileW(entry->path().c_str());
  }
}
