#include "ipc/QORNamedPipeMarshall.h"

void QORNamedPipeMarshall::Init(uint32_t rate, bool reader) {
  pipe_.Init(rate, reader ? QORNamedPipeAudio::kRoleReader : QORNamedPipeAudio::kRoleWriter);
  reader_ = reader;
  overruns_ = 0;
}

void QORNamedPipeMarshall::Write(IQORAudioData<float>& /*period*/) {}

uint32_t QORNamedPipeMarshall::Read(IQORAudioData<float>& /*period*/) {
  return 0;
}
