#pragma once

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "common/QORTextConvert.h"
#include "platform/IQOREvent.h"
#include "platform/QORRegistryKey.h"
#ifndef _WIN32
#include "platform/posix/QORRegistryName.h"
#endif

namespace qortest {

// A process that changes HKEY_LOCAL_MACHINE and signals named events on its parent's word, one
// line at a time, answering "done" or "failed <op>": set|key|value (a DWORD; the key is made when
// needed), unset|key|value, create|key, delete|key (with its subtree), chmod|key|octal mode (its
// security), touch|key (its times: its other attributes), signal|event name. chmod and touch change
// the POSIX store's folders and exist there only.
inline int RegistryChangeChild(const std::vector<std::string>& /*args*/) {
  constexpr QORRegistryHive kHive = QORRegistryHive::kLocalMachine;
  ChildSay("ready");
  uint32_t counter = 0;
  for (std::string line; ChildHear(line);) {
    std::vector<std::string> parts;
    std::istringstream fields(line);
    for (std::string part; std::getline(fields, part, '|');) parts.push_back(part);
    parts.resize(3);
    const std::wstring key = QORUtf8ToWide(parts[1]), argument = QORUtf8ToWide(parts[2]);
    QORRegistryKey handle;
    const std::string& op = parts[0];
    bool ok = false;
    if (op == "set" || op == "unset" || op == "create") {
      ok = QORRegistryKey::Create(kHive, key, KEY_ALL_ACCESS, handle) == ERROR_SUCCESS &&
           (op == "create" || (op == "set" ? handle.SetDword(argument, ++counter)
                                           : handle.DeleteValue(argument)) == ERROR_SUCCESS);
    } else if (op == "delete") {
      ok = QORRegistryKey::DeleteTree(kHive, key) == ERROR_SUCCESS;
#ifndef _WIN32
    } else if (op == "chmod" || op == "touch") {
      std::string directory = std::string(std::getenv("QOR_ROOT")) + "/registry/HKLM";
      std::wistringstream names(key);
      for (std::wstring name; std::getline(names, name, L'\\');)
        directory.append("/").append(QORRegistryName::FileName(QORRegistryName::kKeyPrefix, name));
      ok = op == "chmod"
               ? ::chmod(directory.c_str(), std::strtoul(parts[2].c_str(), nullptr, 8)) == 0
               : ::utimensat(AT_FDCWD, directory.c_str(), nullptr, 0) == 0;
#endif
    } else if (op == "signal") {
      const std::unique_ptr<IQOREvent> event = QOROpenNamedEvent(key);
      ok = event != nullptr && (event->Set(), true);
    }
    ChildSay(ok ? "done" : "failed " + op);
  }
  return 0;
}

inline const ChildRegistration kRegistryChangeChild("registry-change", &RegistryChangeChild);

inline bool StartRegistryChangeChild(ChildProcess& child) {
  return child.Start("registry-change") && child.WaitFor("ready");
}

// Has the child do one thing; true when it says it did.
inline bool AskChild(ChildProcess& child, const std::string& line) {
  std::string answer;
  return child.SendLine(line) && child.ReadLine(answer) && answer == "done";
}

}  // namespace qortest
