#include "platform/win32/QORWin32Security.h"

#include <sddl.h>

#include "common/QORTrace.h"

namespace {

// Everyone: read, write, execute (use, signal, wait, map); system and administrators: all.
constexpr const wchar_t* kDescriptor = L"D:(A;;GRGWGX;;;WD)(A;;GA;;;SY)(A;;GA;;;BA)";

SECURITY_ATTRIBUTES* Make() {
  static SECURITY_ATTRIBUTES attributes{};
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  // Kept for the life of the process, like the attributes that point at it.
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kDescriptor, SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    QORTrace({"QORWin32Security", __LINE__, "QORWin32Security::ForNamedObjects"},
             "no security descriptor (error %lu); named objects get default security\n",
             GetLastError());
    return nullptr;
  }
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = FALSE;
  return &attributes;
}

}  // namespace

SECURITY_ATTRIBUTES* QORWin32Security::ForNamedObjects() {
  static SECURITY_ATTRIBUTES* const attributes = Make();
  return attributes;
}
