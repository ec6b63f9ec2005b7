#pragma once

#include <cstdint>
#include <string>

// Where the instances of a local pipe live: instance i of a name is the named object of kind
// "pipe<i>" under that name, and its companion file is the instance's listening Unix socket.
class QORPosixPipeName {
 public:
  // The object kind of one instance.
  static const char* Kind(uint32_t instance);
  // The name without the local pipe prefix "\\.\pipe\", which names nothing here.
  static std::wstring ObjectName(const std::wstring& pipeName);
  // "/proc/self/fd/<fd>[/<child>]": a path that reaches what fd is open on without resolving any
  // name that could have been swapped for a link. False when it does not fit a socket address.
  static bool FdPath(int fd, const std::string& child, std::string* path);
};
