#pragma once

// Holds the calling thread on the system default locale while it lives, and puts the thread's own
// locale back on destruction. Registration runs under it, so that nothing it calls follows
// whatever locale the caller set.
class QORThreadLocale {
 public:
  QORThreadLocale();
  ~QORThreadLocale();
  QORThreadLocale(const QORThreadLocale&) = delete;
  QORThreadLocale& operator=(const QORThreadLocale&) = delete;

  // Whether the system default took effect (false: the thread keeps its own locale).
  bool IsSet() const { return set_; }

 private:
  void* saved_ = nullptr;
  void* system_ = nullptr;
  bool set_ = false;
};
