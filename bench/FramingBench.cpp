// The framing work done per byte on every XModem exchange: the CRC and building a block.
#include <benchmark/benchmark.h>

#include <vector>

#include "protocols/XModemProtocol.h"

namespace orvela::bench {
namespace {

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
  return data;
}

// One block's data, a whole reply buffer and sizes in between.
void BM_Crc16Xmodem(benchmark::State& state) {
  const std::vector<uint8_t> data = Pattern(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(Crc16Xmodem(data));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Crc16Xmodem)->Arg(xmodem::kDataSize)->Arg(4096)->Arg(xmodem::kReplyBufferSize);

// The receiver's check: a received block's data and CRC fed through the register, which ends at 0.
void BM_Crc16CheckBlock(benchmark::State& state) {
  const TBytes block = BuildXModemBlock(1, Pattern(xmodem::kDataSize));
  const std::span<const uint8_t> checked = std::span<const uint8_t>(block).subspan(3);
  TCrc16Xmodem crc;
  for (auto _ : state) {
    crc.Reset();
    crc.Feed(checked);
    if (crc.Value() != 0) {
      state.SkipWithError("a good block did not check");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(checked.size()));
}
BENCHMARK(BM_Crc16CheckBlock);

// A request block: a short request padded with fill, and a full one.
void BM_BuildXModemBlock(benchmark::State& state) {
  const std::vector<uint8_t> data = Pattern(static_cast<size_t>(state.range(0)));
  uint8_t number = 1;
  for (auto _ : state) {
    TBytes block = BuildXModemBlock(number++, data);
    benchmark::DoNotOptimize(block.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xmodem::kBlockSize));
}
BENCHMARK(BM_BuildXModemBlock)->Arg(16)->Arg(xmodem::kDataSize);

}  // namespace
}  // namespace orvela::bench
