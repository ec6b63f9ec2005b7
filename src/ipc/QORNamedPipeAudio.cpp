#include "ipc/QORNamedPipeAudio.h"

void QORNamedPipeAudio::Init(uint32_t rate, uint32_t role) {
  rate_ = rate;
  role_ = role;
}
