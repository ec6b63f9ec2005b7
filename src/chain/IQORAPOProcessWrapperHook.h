#pragma once

#include "audio/IQORAudioData.h"

class QORAPOProcessWrapper;

// Where a wrapper's side-chain channel goes to or comes from (the process chain, towards the pipe).
class IQORAPOProcessWrapperHook {
 public:
  virtual ~IQORAPOProcessWrapperHook() = default;
  // data is one channel of role 7: filled by the wrapper for a send hook, by the hook for a receive
  // hook. Called on the real-time thread.
  virtual void OnSideChain(QORAPOProcessWrapper& wrapper, IQORAudioData<float>& data) = 0;
};
