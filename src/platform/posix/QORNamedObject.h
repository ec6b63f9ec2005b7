#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/IQORNamedMutex.h"

// One handle to an object of the named-object namespace: a file under
// <state root>/NamedObjects. The object exists while some process holds a handle: every handle
// keeps an open file description with shared locks on the first bytes, which the kernel drops when
// the handle closes or its process dies. A file without any holder is stale and is removed by the
// next open of its name. There is no lock over the whole namespace: a new file is linked under its
// name already locked, and only a process alone inside a file may remove its name (see the .cpp),
// so a stopped or slow process can hold up nobody's work on other names.
//
// Names map to file names byte by byte (UTF-8, anything outside [A-Za-z0-9._-] percent-encoded;
// long names end in a hash), after a leading "Global\" or "Local\" is dropped: both prefixes name
// the same namespace here. Each kind (mutex, event, ...) has a namespace of its own.
//
// Files are 0660 with the state root's group inside a 0770 directory, and are opened relative to
// that directory without following links.
class QORNamedObject {
 public:
  enum class Mode { kCreate, kOpen };
  // Runs once on a new object, before any other process can open it.
  // The file is already sized (zero-filled); aux names a companion file the kind may create.
  using Initializer = std::function<bool(int fd, int dirFd, const std::string& auxName)>;

  QORNamedObject() = default;
  ~QORNamedObject();
  QORNamedObject(const QORNamedObject&) = delete;
  QORNamedObject& operator=(const QORNamedObject&) = delete;

  // Creates or opens the object `kind` + name. A new object's file gets `size` zero bytes (the
  // lock bytes lie in front of them, see kDataOffset). existed tells whether it was there.
  QORNamedObjectError Open(const char* kind, const std::wstring& name, Mode mode, size_t size,
                           const Initializer& initialize, bool* existed);
  // Drops this handle; removes the object when no other holder is left.
  void Close();

  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // Opens the companion file of this object (e.g. a FIFO) with the given flags; -1 on failure.
  int OpenAux(int flags) const;
  // Data starts here; the bytes before it are reserved for the holders' locks.
  static constexpr size_t kDataOffset = 64;

  // Points inside Open and Close where a test may stop its process, to play a frozen peer:
  // kJoining holds an existing file while deciding whether its object still lives, kCreating holds
  // a new name before its object is set up, kRemoving holds a name that is being removed.
  enum class Stage { kJoining, kCreating, kRemoving };
  using StageHook = void (*)(Stage stage);
  static void SetStageHook(StageHook hook);

  // True when something that is no object's file (a FIFO, a folder, a link, a socket, a device)
  // stands at the name of kind + name, with what it is ("a FIFO") and its full path. Looks
  // without following or opening it, so it cannot block; Open answers kInTheWay then.
  static bool FindInTheWay(const char* kind, const std::wstring& name, std::string* what,
                           std::string* path);

  // The file name for a name of a kind (exposed for tests of the mapping).
  static std::string FileNameFor(const char* kind, const std::wstring& name);

 private:
  int fd_ = -1;
  int dirFd_ = -1;
  std::string fileName_;
};
