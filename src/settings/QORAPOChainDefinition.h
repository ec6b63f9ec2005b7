#pragma once

#include <cstdint>
#include <vector>

#include "settings/ChainEntry.h"

// The chains of one operating mode, in configuration order.
class QORAPOChainDefinition {
 public:
  QORAPOChainDefinition() = default;
  QORAPOChainDefinition(const QORAPOChainDefinition&) = default;
  QORAPOChainDefinition& operator=(const QORAPOChainDefinition&) = default;
  virtual ~QORAPOChainDefinition() = default;

  // Copies the first chain that shares a bit with both codes and has the given direction into
  // out. Codes 0 and kAnyLayout name no layout and find nothing; out is untouched on false.
  virtual bool FindChain(uint32_t inputCode, uint32_t outputCode, ChainEntry& out,
                         bool render) const;

  std::vector<ChainEntry>& GetEntries() { return entries_; }
  const std::vector<ChainEntry>& GetEntries() const { return entries_; }

 private:
  std::vector<ChainEntry> entries_;
};
