#include "audio/QORAudioChannelFold.h"

#include <cstddef>

void QORAudioChannelFold::Fold6To2(const float* source, float* destination, uint32_t frames) {
  for (size_t f = 0; f < frames; ++f) {
    const float* in = source + f * 6;
    const float left = Front(in[0], in[2], in[4]);
    const float right = Front(in[1], in[2], in[5]);
    destination[f * 2] = left;
    destination[f * 2 + 1] = right;
  }
}

void QORAudioChannelFold::Fold2To1(const float* source, float* destination, uint32_t frames) {
  for (size_t f = 0; f < frames; ++f) destination[f] = Mono(source[f * 2], source[f * 2 + 1]);
}

void QORAudioChannelFold::Fold1To2(const float* source, float* destination, uint32_t frames) {
  for (size_t f = 0; f < frames; ++f) {
    destination[f * 2] = source[f];
    destination[f * 2 + 1] = source[f];
  }
}
