#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "common/QORTextConvert.h"
#include "platform/IQOREvent.h"
#include "platform/QORRegistryKey.h"
#include "platform/posix/QORRegistryName.h"

namespace qortest {

// The stored directory of an HKEY_LOCAL_MACHINE key in the current state root.
inline std::string LocalMachineKeyDirectory(const std::wstring& path) {
  std::string directory = std::string(std::getenv("QOR_ROOT")) + "/registry/HKLM";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    directory += '/';
    directory +=
        QORRegistryName::FileName(QORRegistryName::kKeyPrefix, path.substr(start, end - start));
    start = end + 1;
  }
  return directory;
}

// A process that changes the registry and signals named events on its parent's word, one line
// "op|argument|argument" at a time, answering "done" or "failed <op>":
//   set|key|value     writes a DWORD value, creating the key when needed
//   unset|key|value   deletes a value
//   create|key        creates a key
//   delete|key        deletes a key with its subtree
//   chmod|key|mode    changes the key's permission bits (octal): a change of its security
//   touch|key         changes the key's times only: a change of its other attributes
//   signal|name       signals a named event
inline int RegistryChangeChild(const std::vector<std::string>& /*args*/) {
  ChildSay("ready");
  std::string line;
  uint32_t counter = 0;
  while (ChildHear(line)) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
      const size_t end = line.find('|', start);
      parts.push_back(line.substr(start, end == std::string::npos ? end : end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    const std::string& op = parts[0];
    const std::wstring key = parts.size() > 1 ? QORUtf8ToWide(parts[1]) : L"";
    const std::wstring third = parts.size() > 2 ? QORUtf8ToWide(parts[2]) : L"";
    bool ok = false;
    QORRegistryKey handle;
    if (op == "set") {
      ok = QORRegistryKey::Create(QORRegistryHive::kLocalMachine, key, KEY_ALL_ACCESS, handle) ==
               ERROR_SUCCESS &&
           handle.SetDword(third, ++counter) == ERROR_SUCCESS;
    } else if (op == "unset") {
      ok = QORRegistryKey::Open(QORRegistryHive::kLocalMachine, key, KEY_ALL_ACCESS, handle) ==
               ERROR_SUCCESS &&
           handle.DeleteValue(third) == ERROR_SUCCESS;
    } else if (op == "create") {
      ok = QORRegistryKey::Create(QORRegistryHive::kLocalMachine, key, KEY_ALL_ACCESS, handle) ==
           ERROR_SUCCESS;
    } else if (op == "delete") {
      ok = QORRegistryKey::DeleteTree(QORRegistryHive::kLocalMachine, key) == ERROR_SUCCESS;
    } else if (op == "chmod") {
      ok = ::chmod(LocalMachineKeyDirectory(key).c_str(),
                   static_cast<mode_t>(std::strtoul(parts[2].c_str(), nullptr, 8))) == 0;
    } else if (op == "touch") {
      ok = ::utimensat(AT_FDCWD, LocalMachineKeyDirectory(key).c_str(), nullptr, 0) == 0;
    } else if (op == "signal") {
      const std::unique_ptr<IQOREvent> event = QOROpenNamedEvent(key);
      if (event != nullptr) event->Set();
      ok = event != nullptr;
    }
    ChildSay(ok ? "done" : "failed " + op);
  }
  return 0;
}

inline const ChildRegistration kRegistryChangeChild("registry-change", &RegistryChangeChild);

// Starts the child above and waits until it listens.
inline bool StartRegistryChangeChild(ChildProcess& child) {
  return child.Start("registry-change") && child.WaitFor("ready");
}

// Has the child do one thing; true when it says it did.
inline bool AskChild(ChildProcess& child, const std::string& line) {
  std::string answer;
  return child.SendLine(line) && child.ReadLine(answer) && answer == "done";
}

}  // namespace qortest
