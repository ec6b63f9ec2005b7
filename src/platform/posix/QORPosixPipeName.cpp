#include "platform/posix/QORPosixPipeName.h"

#include <sys/un.h>

#include "platform/IQORPipeServer.h"

const char* QORPosixPipeName::Kind(uint32_t instance) {
  static const char* const kinds[kQORPipeMaxInstances] = {"pipe0", "pipe1", "pipe2", "pipe3",
                                                          "pipe4"};
  return instance < kQORPipeMaxInstances ? kinds[instance] : nullptr;
}

std::wstring QORPosixPipeName::ObjectName(const std::wstring& pipeName) {
  constexpr std::wstring_view prefix = L"\\\\.\\pipe\\";
  if (pipeName.starts_with(prefix)) return pipeName.substr(prefix.size());
  return pipeName;
}

bool QORPosixPipeName::FdPath(int fd, const std::string& child, std::string* path) {
  *path = "/proc/self/fd/" + std::to_string(fd);
  if (!child.empty()) *path += "/" + child;
  return path->size() < sizeof(sockaddr_un::sun_path);
}
