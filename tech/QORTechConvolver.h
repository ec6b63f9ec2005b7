#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

// Uniformly partitioned FFT convolution without latency: the first partition of each impulse
// response runs directly on the samples, the others in the frequency domain, a block behind, on
// spectra of the input kept for as long as the response lasts (overlap-save, FFTs of twice the
// block). A long response's tail runs in a second convolver of partitions kLateFactor times longer,
// which costs far fewer products per frame; the short partitions cover the taps before it.
// Everything is sized and planned in Init; Process neither allocates nor waits.
class QORTechConvolver {
 public:
  QORTechConvolver() = default;
  QORTechConvolver(const QORTechConvolver&) = delete;
  QORTechConvolver& operator=(const QORTechConvolver&) = delete;
  ~QORTechConvolver();

  // One impulse response per channel (they may differ in length); block is the partition length,
  // a power of two. False when a response is empty or block is not a power of two of at least 16.
  bool Init(const std::vector<std::vector<float>>& responses, uint32_t block);
  // Planar channels in place, any number of frames; channelCount at most the responses'.
  void Process(float* const* channels, uint32_t channelCount, uint32_t frames);
  // Back to silence, the responses kept.
  void Reset();
  // Carries on from other's history (input spectra, the direct part's samples, the pending
  // output), which is only right when other holds the same responses. Copies into storage sized
  // by Init, so it allocates nothing; false, with nothing taken, when the partitioning differs.
  bool TakeHistory(const QORTechConvolver& other);
  uint32_t Block() const { return block_; }

  static constexpr uint32_t kLateFactor = 16;

 private:
  struct Channel {
    std::vector<double> head;                      // the first partition, taps last to first
    std::vector<std::complex<double>> partitions;  // spectra of partitions 1.., bins each
    std::vector<std::complex<double>> history;     // input spectra, a ring of partitions-1
    std::vector<double> input;                     // the previous block, then the current one
    std::vector<double> tail;  // the later partitions' part of the current block's output
    uint32_t count = 0;        // partitions after the first
    uint32_t newest = 0;       // ring slot of the latest input spectrum
    bool direct = true;        // the first partition holds a tap other than zero
  };
  // Same partitioning, here and in the long partitions.
  bool Matches(const QORTechConvolver& other) const;
  bool InitPartitions(const std::vector<std::vector<float>>& responses, uint32_t block);
  void ProcessPartitions(float* const* channels, uint32_t channelCount, uint32_t frames);
  void EndBlock(Channel& channel);

  uint32_t block_ = 0;
  uint32_t bins_ = 0;
  uint32_t position_ = 0;  // frames of the current block so far
  std::vector<Channel> channels_;
  // The taps from kLateFactor blocks on, and the input it hears, copied per chunk.
  std::unique_ptr<QORTechConvolver> late_;
  std::vector<std::vector<float>> lateInput_;
  // FFT buffers and plans, shared by the channels (one runs at a time).
  double* time_ = nullptr;
  std::complex<double>* spectrum_ = nullptr;
  void* forward_ = nullptr;
  void* inverse_ = nullptr;
};
