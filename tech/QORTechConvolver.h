#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// Uniformly partitioned FFT convolution without latency: the first partition of each impulse
// response runs directly on the samples, the others in the frequency domain, a block behind, on
// spectra of the input kept for as long as the response lasts (overlap-save, FFTs of twice the
// block). Partitions that are all zeros cost nothing. A
// long response's tail runs in a second convolver of partitions kLateFactor times longer, which
// costs far fewer products per frame; the short partitions cover the taps before it. Everything is
// sized and planned in Init; Process neither allocates nor waits.
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
    std::vector<double> head;  // the first partition, taps last to first, between zeros
    // Spectra of the later partitions that hold a tap other than zero, rows of 2 x stride_ doubles
    // in the kernels' layout, with the partition each is (0 the first after the head).
    std::vector<double> partitions;
    std::vector<uint32_t> lags;
    std::vector<double> history;  // input spectra, a ring of `count` rows
    // The same in float, for the long partitions.
    std::vector<float> narrowPartitions, narrowHistory;
    // The previous block, then the current one, then zeros that the direct part may read past the
    // last frame it is asked for.
    std::vector<double> input;
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
  void DestroyPlans();

  // Spectra kept in float: the long partitions' products are most of the memory a block reads,
  // and a tail that starts 4096 taps in is heard far below float's resolution of the sum.
  bool narrow_ = false;
  uint32_t block_ = 0;
  uint32_t bins_ = 0;
  uint32_t stride_ = 0;    // bins_ rounded up to whole blocks of the kernels' layout
  uint32_t position_ = 0;  // frames of the current block so far
  std::vector<Channel> channels_;
  // The taps from kLateFactor blocks on, and the input it hears, copied per chunk.
  std::unique_ptr<QORTechConvolver> late_;
  std::vector<std::vector<float>> lateInput_;
  // Scratch shared by the channels (one runs at a time): the direct part's sums, the history rows
  // a block's partitions meet, the FFT buffers and their plans.
  std::vector<double> direct_;
  std::vector<const double*> rows_;
  std::vector<const float*> narrowRows_;
  double* time_ = nullptr;
  double (*spectrum_)[2] = nullptr;  // fftw_complex, stride_ of them
  void* forward_ = nullptr;
  void* inverse_ = nullptr;
};
