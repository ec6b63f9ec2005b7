#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "chain/QORTechProcess.h"

// What a process declares about one of its controls.
struct QORTechControlDefinition {
  const char* name;
  uint32_t type;  // kTechControl...
  int32_t minimum;
  int32_t maximum;
  int32_t initial;
  const char* const* valueNames = nullptr;  // enumerated controls only
  uint32_t valueNameCount = 0;
};

// The controls of one process: descriptions for the host, current values as integers, and their
// text forms. Values are atomics so that a tuning thread never tears a value the audio thread
// reads.
class QORTechControls {
 public:
  static constexpr size_t kMaxControls = 208;

  // Registers a control and returns its index; called from process constructors only.
  int Add(const QORTechControlDefinition& definition);
  // As Add, with the name composed printf-style and kept here; definition.name is ignored.
  int AddNamed(QORTechControlDefinition definition, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

  int32_t Describe(const TechControlDesc** descs) const;
  bool SetInt(const char* name, int32_t value);
  bool SetString(const char* name, const char* value);
  bool GetInt(const char* name, int32_t* value) const;
  bool GetString(const char* name, const char** value);

  int32_t Value(int index) const { return values_[index].load(std::memory_order_relaxed); }
  bool IsOn(int index) const { return Value(index) != 0; }

 private:
  int Find(const char* name) const;
  bool Store(int index, int32_t value);

  std::array<TechControlDesc, kMaxControls> descs_{};
  std::array<std::atomic<int32_t>, kMaxControls> values_{};
  std::array<std::array<char, 16>, kMaxControls> texts_{};
  std::array<std::array<char, 40>, kMaxControls> names_{};
  size_t count_ = 0;
};
