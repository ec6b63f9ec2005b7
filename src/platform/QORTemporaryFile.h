#pragma once

#include <filesystem>

// A file written under a name of its own beside its target, which takes the target's place only
// once complete. Its name carries the writing process's id, so that a file left by a writer that
// was killed can be told from one still being written and removed.
class QORTemporaryFile {
 public:
  QORTemporaryFile() = default;
  QORTemporaryFile(const QORTemporaryFile&) = delete;
  QORTemporaryFile& operator=(const QORTemporaryFile&) = delete;
  ~QORTemporaryFile() { Discard(); }

  // A new file named prefix (a path), this process's id, "-" and six random characters, open for
  // reading and writing with the permissions a plain create gives; false when none can be made.
  bool Create(const std::filesystem::path& prefix);
  // Owned by this object: a writer such as libsndfile must not close it.
  int Descriptor() const { return descriptor_; }
  const std::filesystem::path& Path() const { return path_; }
  // Puts the file in target's place, replacing what was there, and closes it; false (the file
  // removed) when it cannot.
  bool Commit(const std::filesystem::path& target);
  // Closes and removes the file.
  void Discard();

  // Removes the files Create made with prefix whose writing process has ended.
  static void RemoveAbandoned(const std::filesystem::path& prefix);

 private:
  int descriptor_ = -1;
  std::filesystem::path path_;
};
