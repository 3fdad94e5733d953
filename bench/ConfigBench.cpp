// Saving and loading the configuration files: Config.kopc of the large tree and tConn.dat with 100
// connections, in memory (the codecs alone) and through the controller (file written atomically with
// fsync, file read, checked in a scratch tree, installed and its paths built).
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "BenchTree.h"
#include "tree/ConfigController.h"
#include "tree/TreeFile.h"

namespace orvela::bench {
namespace {

std::vector<uint8_t> TreeBytes() {
  TTree tree;
  BuildBenchTree(tree);
  return EncodeTree(*tree.Root());
}

// A tree and a controller over it, made per iteration for loads: every load adds its nodes to the tree's
// arena, which would otherwise grow with the iteration count.
struct TLoadTarget {
  explicit TLoadTarget(const std::filesystem::path& folder) : controller(folder, tree) {}
  TTree tree;
  TConfigController controller;
};

void BM_EncodeTree(benchmark::State& state) {
  TTree tree;
  BuildBenchTree(tree);
  size_t size = 0;
  for (auto _ : state) {
    std::vector<uint8_t> bytes = EncodeTree(*tree.Root());
    size = bytes.size();
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
  state.counters["file_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_EncodeTree)->Unit(benchmark::kMillisecond);

void BM_DecodeTree(benchmark::State& state) {
  const std::vector<uint8_t> bytes = TreeBytes();
  for (auto _ : state) {
    state.PauseTiming();
    auto tree = std::make_unique<TTree>();
    state.ResumeTiming();
    benchmark::DoNotOptimize(DecodeTree(bytes, *tree));
    state.PauseTiming();
    tree.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_DecodeTree)->Unit(benchmark::kMillisecond);

void BM_SaveTree(benchmark::State& state) {
  TScratchFolder folder;
  TTree tree;
  BuildBenchTree(tree);
  TConfigController controller(folder.Path(), tree);
  for (auto _ : state) {
    if (controller.SaveTree()) {
      state.SkipWithError("Config.kopc was not written");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(std::filesystem::file_size(controller.TreePath())));
}
BENCHMARK(BM_SaveTree)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LoadTree(benchmark::State& state) {
  TScratchFolder folder;
  {
    TTree tree;
    BuildBenchTree(tree);
    TConfigController writer(folder.Path(), tree);
    if (writer.SaveTree()) state.SkipWithError("Config.kopc was not written");
  }
  const auto size = static_cast<int64_t>(std::filesystem::file_size(folder.Path() / kTreeFileName));
  for (auto _ : state) {
    state.PauseTiming();
    auto target = std::make_unique<TLoadTarget>(folder.Path());
    state.ResumeTiming();
    if (target->controller.LoadTree() || target->controller.DeviceCount() != kDevices) {
      state.SkipWithError("Config.kopc did not load");
      break;
    }
    state.PauseTiming();
    target.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_LoadTree)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EncodeConnections(benchmark::State& state) {
  const TConnectionList list = BuildBenchConnections();
  size_t size = 0;
  for (auto _ : state) {
    std::vector<uint8_t> bytes = EncodeConnectionList(list);
    size = bytes.size();
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
  state.counters["file_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_EncodeConnections)->Unit(benchmark::kMicrosecond);

void BM_DecodeConnections(benchmark::State& state) {
  const std::vector<uint8_t> bytes = EncodeConnectionList(BuildBenchConnections());
  for (auto _ : state) {
    TConnectionList list = DecodeConnectionList(bytes);
    benchmark::DoNotOptimize(list.Rows.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_DecodeConnections)->Unit(benchmark::kMicrosecond);

void BM_SaveConnections(benchmark::State& state) {
  TScratchFolder folder;
  TTree tree;
  TConfigController controller(folder.Path(), tree);
  controller.Connections() = BuildBenchConnections();
  for (auto _ : state) {
    if (controller.SaveConnections()) {
      state.SkipWithError("tConn.dat was not written");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(std::filesystem::file_size(controller.ConnectionsPath())));
}
BENCHMARK(BM_SaveConnections)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_LoadConnections(benchmark::State& state) {
  TScratchFolder folder;
  TTree tree;
  TConfigController controller(folder.Path(), tree);
  controller.Connections() = BuildBenchConnections();
  if (controller.SaveConnections()) state.SkipWithError("tConn.dat was not written");
  const auto size = static_cast<int64_t>(std::filesystem::file_size(controller.ConnectionsPath()));
  for (auto _ : state) {
    if (controller.LoadConnections() || controller.Connections().Rows.size() != kConnections) {
      state.SkipWithError("tConn.dat did not load");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_LoadConnections)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace orvela::bench
