#include "audio/QORAudioProcessBlock.h"

#include "audio/QORAudioDataIndexed.h"

void QORAudioProcessBlock::PrepareBlocks(uint32_t blockSize, uint32_t channels) {
  blockSize_ = blockSize;
  QORAudioDataFloat silence;
  silence.Init(blockSize, channels, 0);
  for (QORRingBuffer<float>* ring : {&inputRing_, &outputRing_}) {
    ring->Init(2 * blockSize, channels, false);
    QORAudioDataIndexed<float> cursor(silence);
    ring->Write(cursor);
  }
  // Reserve the period storage now rather than on the first period.
  block_.Init(blockSize, channels, 0);
  block_.GetSamples(true, false);
}

void QORAudioProcessBlock::ReservePeriod(uint32_t frames) {
  if (blockSize_ != 0) copy_.Reserve(frames, inputRing_.GetChannelCount());
}

void QORAudioProcessBlock::Process(IQORAudioData<float>& data) {
  if (blockSize_ == 0) {
    ProcessBlock(data);
    return;
  }
  // Rings without storage or a period without channels could never drain: leave the period as is.
  if (inputRing_.GetCapacity() == 0 || inputRing_.GetChannelCount() == 0 ||
      data.GetChannelCount() == 0) {
    return;
  }
  copy_.CopyFrom(data);
  block_.Init(blockSize_, inputRing_.GetChannelCount(), data.GetSampleRate());

  QORAudioDataIndexed<float> input(copy_);
  QORAudioDataIndexed<float> block(block_);
  QORAudioDataIndexed<float> output(data);
  while (input.GetIndex() != copy_.GetFrameCount() || output.GetIndex() != data.GetFrameCount()) {
    if (input.GetRemainingFrames() != 0) input.Advance(inputRing_.Write(input));
    if (inputRing_.GetAvailableFrames() >= blockSize_ &&
        outputRing_.GetFreeFrames() >= blockSize_) {
      block.SetIndex(0);
      inputRing_.Read(block);
      ProcessBlock(block_);
      block.SetIndex(0);
      outputRing_.Write(block);
    }
    if (output.GetRemainingFrames() != 0) output.Advance(outputRing_.Read(output));
  }
}
