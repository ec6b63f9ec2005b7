#include "platform/QORModuleInfo.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/QORTextConvert.h"

namespace {

// An address inside the module that this file is linked into.
const char ownAnchor = 0;

std::string ExecutablePath() {
  std::array<char, 4096> buffer{};
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  return length > 0 ? std::string(buffer.data(), static_cast<size_t>(length)) : std::string();
}

// Loaders keep the name a module was opened with, which may be relative to the working directory
// of that moment; anchor it now.
std::wstring Absolute(const std::string& path) {
  if (path.empty()) return {};
  std::error_code ignored;
  std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
  return QORUtf8ToWide(absolute.empty() ? path : absolute.string());
}

struct NameSearch {
  std::string fileName;
  std::string found;
};

int MatchFileName(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<NameSearch*>(data);
  if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
  const char* slash = std::strrchr(info->dlpi_name, '/');
  const char* base = slash != nullptr ? slash + 1 : info->dlpi_name;
  if (search->fileName != base) return 0;
  search->found = info->dlpi_name;
  return 1;
}

}  // namespace

// Recorded when the module is loaded, so that a relative load path keeps the meaning it had
// then.
[[maybe_unused]] static const std::wstring ownPathAtLoad = QORModuleInfo::GetOwnPath();

std::wstring QORModuleInfo::GetOwnPath() {
  static const std::wstring path = GetPathOf(&ownAnchor);
  return path;
}

std::wstring QORModuleInfo::GetPathOf(const void* address) {
  Dl_info info{};
  link_map* map = nullptr;
  if (address == nullptr ||
      ::dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) {
    return {};
  }
  // The executable's own entry has an empty name; the loader's fallback there is argv[0], which
  // need not be a path at all.
  if (map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0') {
    return Absolute(ExecutablePath());
  }
  return Absolute(map->l_name);
}

std::wstring QORModuleInfo::FindLoadedPath(const std::wstring& fileName) {
  if (fileName.empty() || fileName.find(L'/') != std::wstring::npos) return {};
  NameSearch search{QORWideToUtf8(fileName), {}};
  ::dl_iterate_phdr(MatchFileName, &search);
  return Absolute(search.found);
}

std::wstring QORModuleInfo::GetFolder(const std::wstring& path) {
  const size_t slash = path.rfind(L'/');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

bool QORModuleInfo::IsWow64Process() {
  if constexpr (sizeof(void*) >= 8) {
    return false;
  } else {
    // A 32-bit build on a 64-bit kernel: the machine names of 64-bit systems all carry "64".
    utsname system{};
    return ::uname(&system) == 0 && std::strstr(system.machine, "64") != nullptr;
  }
}
