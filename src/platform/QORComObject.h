#pragma once

#include <atomic>
#include <cstdint>

// Reference counting for a COM class implementing Interfaces: the object starts with one
// reference (the creator's) and deletes itself when the last one is released. The class itself
// answers QueryInterface.
template <typename... Interfaces>
class QORComObject : public Interfaces... {
 public:
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    const uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

 protected:
  QORComObject() = default;
  virtual ~QORComObject() = default;
  QORComObject(const QORComObject&) = delete;
  QORComObject& operator=(const QORComObject&) = delete;

 private:
  std::atomic<uint32_t> refs_{1};
};
