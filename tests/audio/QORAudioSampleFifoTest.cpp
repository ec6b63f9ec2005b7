#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "AudioTestSupport.h"
#include "audio/CMediaBuffer.h"
#include "audio/QORAudioProcessDelay.h"
#include "audio/QORAudioSampleFifo.h"
#include "audio/QORSampleRateConvert.h"

// The sample FIFO, the media buffer and the converter's streaming call, and a delay shortened or
// lengthened between periods.
namespace {

using Floats = std::vector<float>;

TEST(QORAudioSampleFifo, KeepsOrderAcrossTheWrapAndGrowsOnlyWhenFull) {
  enum Kind { kPush, kZeros, kPop, kDiscard, kReserve };
  struct Op {
    Kind kind;
    size_t count;
  };
  struct Row {
    const char* what;
    std::vector<Op> ops;
  } rows[] = {
      {"wraps in place", {{kReserve, 4}, {kPush, 3}, {kPop, 2}, {kPush, 3}, {kPop, 9}, {kPop, 1}}},
      {"grows past a wrap", {{kReserve, 4}, {kPush, 3}, {kPop, 2}, {kPush, 5}, {kPop, 9}}},
      {"zeros between samples", {{kPush, 2}, {kZeros, 3}, {kPush, 2}, {kPop, 4}, {kPop, 4}}},
      {"discard across the wrap",
       {{kReserve, 5}, {kPush, 4}, {kDiscard, 3}, {kPush, 3}, {kDiscard, 2}, {kPop, 9}}},
      {"empty", {{kPop, 3}, {kDiscard, 3}, {kPush, 0}, {kPop, 1}}},
      {"reserve", {{kReserve, 3}, {kPush, 3}, {kPop, 1}, {kPush, 1}, {kReserve, 16}, {kPop, 9}}},
      {"smaller reserve", {{kPush, 3}, {kReserve, 2}, {kPop, 9}}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    QORAudioSampleFifo fifo;
    std::deque<float> model;
    float next = 1.0f;
    size_t reserved = 0;
    for (const Op& op : row.ops) {
      const size_t capacityBefore = fifo.GetCapacity();
      if (op.kind == kPush || op.kind == kZeros) {
        Floats samples(op.count, 0.0f);
        if (op.kind == kPush) {
          samples = qortest::Ramp(op.count, next);
          next += static_cast<float>(op.count);
          fifo.Push(samples.data(), op.count);
        } else {
          fifo.PushZeros(op.count);
        }
        model.insert(model.end(), samples.begin(), samples.end());
        // Within the reserved room a push must not reallocate.
        if (model.size() <= capacityBefore) {
          EXPECT_EQ(fifo.GetCapacity(), capacityBefore);
        }
      } else if (op.kind == kPop || op.kind == kDiscard) {
        const size_t taken = std::min(op.count, model.size());
        Floats out(op.count, -1.0f);
        EXPECT_EQ(op.kind == kPop ? fifo.Pop(out.data(), op.count) : fifo.Discard(op.count), taken);
        if (op.kind == kPop) {
          EXPECT_EQ(Floats(out.begin(), out.begin() + taken),
                    Floats(model.begin(), model.begin() + taken));
          EXPECT_EQ(Floats(out.begin() + taken, out.end()), Floats(op.count - taken, -1.0f));
        }
        model.erase(model.begin(), model.begin() + taken);
      } else {
        fifo.Reserve(op.count);
        reserved = std::max(reserved, op.count);
        EXPECT_GE(fifo.GetCapacity(), std::max(capacityBefore, op.count));
      }
      EXPECT_EQ(fifo.GetSize(), model.size());
      EXPECT_GE(fifo.GetCapacity(), std::max(reserved, model.size()));
    }
  }
}

TEST(CMediaBuffer, LengthsAndInterfacesFollowTheMediaBufferRules) {
  constexpr IID kOther = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  CMediaBuffer* buffer = nullptr;
  EXPECT_EQ(CMediaBuffer::Create(16, nullptr), E_POINTER);
  ASSERT_EQ(CMediaBuffer::Create(16, &buffer), S_OK);
  uint32_t max = 0, length = 99;
  uint8_t* bytes = nullptr;
  EXPECT_EQ(buffer->GetMaxLength(&max), S_OK);
  EXPECT_EQ(max, 16u);
  EXPECT_EQ(buffer->GetMaxLength(nullptr), E_POINTER);
  // Each row sets a length; a refused one keeps the previous.
  struct Length {
    uint32_t set;
    HRESULT result;
    uint32_t after;
  } lengths[] = {{0, S_OK, 0},
                 {8, S_OK, 8},
                 {17, E_INVALIDARG, 8},
                 {16, S_OK, 16},
                 {0xFFFFFFFF, E_INVALIDARG, 16}};
  for (const Length& row : lengths) {
    EXPECT_EQ(buffer->SetLength(row.set), row.result) << row.set;
    EXPECT_EQ(buffer->GetBufferAndLength(nullptr, &length), S_OK);
    EXPECT_EQ(length, row.after) << row.set;
  }
  EXPECT_EQ(buffer->GetBufferAndLength(&bytes, nullptr), S_OK);
  EXPECT_NE(bytes, nullptr);
  EXPECT_EQ(buffer->GetBufferAndLength(nullptr, nullptr), E_POINTER);
  // Reuse lowers the maximum within the storage it was made with and empties the buffer.
  EXPECT_TRUE(buffer->Reuse(4));
  EXPECT_EQ(buffer->GetBufferAndLength(nullptr, &length), S_OK);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(buffer->SetLength(5), E_INVALIDARG);
  EXPECT_FALSE(buffer->Reuse(17));
  EXPECT_TRUE(buffer->Reuse(16));
  struct Query {
    const IID* iid;
    HRESULT result;
  } queries[] = {{&IID_IMediaBuffer, S_OK}, {&IID_IUnknown, S_OK}, {&kOther, E_NOINTERFACE}};
  uint32_t references = 1;
  for (const Query& row : queries) {
    void* object = &max;
    EXPECT_EQ(buffer->QueryInterface(*row.iid, &object), row.result);
    EXPECT_EQ(object, row.result == S_OK ? static_cast<IMediaBuffer*>(buffer) : nullptr);
    if (row.result == S_OK) ++references;
  }
  EXPECT_EQ(buffer->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  // The references taken above are all counted; the last release frees it (the sanitizer build
  // reports a leak otherwise).
  EXPECT_EQ(buffer->AddRef(), references + 1);
  for (uint32_t left = references; left-- > 0;) EXPECT_EQ(buffer->Release(), left + 1);
  EXPECT_EQ(buffer->Release(), 0u);
}

// Sets the rates directly, as the resample handler does before it sets the object up.
class Converter : public QORSampleRateConvert {
 public:
  Converter(uint32_t in, uint32_t out, uint32_t channels) { StoreFormat(in, out, channels); }
};

TEST(QORSampleRateConvert, StreamingCopiesAtOneRateAndConvertsEveryChannelAtTwo) {
  // One rate: a straight copy of what fits, no media object.
  for (const auto& [in, room] :
       std::vector<std::pair<uint32_t, uint32_t>>{{6, 8}, {8, 6}, {0, 4}}) {
    Converter same(48000, 48000, 2);
    const Floats input = qortest::Ramp(in);
    Floats output(room, -1.0f);
    uint32_t inCount = in, outCount = room;
    EXPECT_TRUE(same.Resample(input.data(), &inCount, output.data(), &outCount));
    const uint32_t copied = std::min(in, room);
    EXPECT_EQ(inCount, copied);
    EXPECT_EQ(outCount, copied);
    EXPECT_EQ(Floats(output.begin(), output.begin() + copied), qortest::Ramp(copied));
    EXPECT_FALSE(same.HasMediaObject());
  }
  // Two rates without a set-up object: nothing moves and the call says so.
  Converter unset(44100, 48000, 2);
  Floats sample(8, 1.0f);
  uint32_t inCount = 8, outCount = 8;
  EXPECT_FALSE(unset.Resample(sample.data(), &inCount, sample.data(), &outCount));
  EXPECT_EQ(inCount + outCount, 0u);
  // A second of constant signal in 10 ms calls: every input sample is taken, whole frames come
  // out, about a second of them at the output rate (less the converter's start-up delay), and
  // the level is kept once the converter has settled.
  struct Row {
    uint32_t in, out, channels;
  } rows[] = {{44100, 48000, 1}, {48000, 44100, 2}, {44100, 48000, 6}, {96000, 48000, 8}};
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.in << "->" << row.out << " x" << row.channels);
    Converter convert(row.in, row.out, row.channels);
    ASSERT_TRUE(convert.InitMediaObject(row.channels));
    ASSERT_TRUE(convert.HasMediaObject());
    const uint32_t periodIn = row.in / 100 * row.channels;
    const uint32_t room = (row.out / 100 + 5) * row.channels;
    const Floats input(periodIn, 0.25f);
    Floats output(room), all;
    for (int period = 0; period < 100; ++period) {
      uint32_t taken = periodIn, made = room;
      ASSERT_TRUE(convert.Resample(input.data(), &taken, output.data(), &made));
      EXPECT_EQ(taken, periodIn);
      EXPECT_EQ(made % row.channels, 0u);
      all.insert(all.end(), output.begin(), output.begin() + made);
    }
    const size_t frames = all.size() / row.channels;
    EXPECT_LE(frames, row.out);
    EXPECT_GE(frames, row.out - row.out / 100);
    for (size_t i = all.size() / 2; i < all.size(); ++i) ASSERT_NEAR(all[i], 0.25f, 1e-3f) << i;
  }
}

TEST(QORAudioProcessDelay, ChangedDelayKeepsTheOldestHeldFramesThenSilence) {
  struct Row {
    uint32_t from, to, channels;
  } rows[] = {{10, 4, 1}, {10, 4, 2}, {4, 10, 2}, {5, 5, 1}, {3, 1, 2}};
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.from << "->" << row.to << " x" << row.channels);
    QORAudioProcessDelay delay;
    delay.SetDelay(row.from);
    ASSERT_TRUE(delay.Init(row.channels, 48000));
    // One period of exactly the old delay: all of it stays held, silence comes out.
    const Floats held = qortest::Ramp(size_t{row.from} * row.channels);
    EXPECT_EQ(qortest::RunPeriod(delay, held, row.channels), Floats(held.size(), 0.0f));
    delay.SetDelay(row.to);
    EXPECT_EQ(delay.GetLatency(), row.to);
    // The oldest min(from, to) frames come out first; the newest of a longer delay are dropped,
    // a shorter one is padded with silence behind them.
    const size_t length = size_t{row.from + row.to} * row.channels;
    Floats expected(length, 0.0f);
    const size_t kept = size_t{std::min(row.from, row.to)} * row.channels;
    std::copy(held.begin(), held.begin() + kept, expected.begin());
    EXPECT_EQ(qortest::RunPeriod(delay, Floats(length, 0.0f), row.channels), expected);
  }
}

}  // namespace
