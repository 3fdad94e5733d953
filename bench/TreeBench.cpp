// Tree look-ups OPC clients and the reader threads make all the time (handle and identifier resolution)
// and the whole-tree passes after every structural change (renumbering, path rebuilding).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "BenchTree.h"

namespace orvela::bench {
namespace {

// One tree for the read-only benchmarks: building it takes longer than most of them run.
TTree& SharedTree() {
  static TTree tree;
  static const bool built = (BuildBenchTree(tree), true);
  (void)built;
  return tree;
}

std::vector<int32_t> Handles(bool shuffled) {
  std::vector<int32_t> handles;
  for (TNTreeData* n : PreOrderNodes(SharedTree().Root())) handles.push_back(n->Handle);
  if (shuffled) std::shuffle(handles.begin(), handles.end(), std::mt19937(20240601));
  return handles;
}

void ResolveHandles(benchmark::State& state, const std::vector<int32_t>& handles) {
  TTree& tree = SharedTree();
  size_t i = 0;
  for (auto _ : state) {
    TNTreeData* node = tree.ResolveHandle(handles[i]);
    if (!node) {
      state.SkipWithError("a handle of the tree did not resolve");
      break;
    }
    benchmark::DoNotOptimize(node);
    if (++i == handles.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ResolveHandleSequential(benchmark::State& state) {
  ResolveHandles(state, Handles(false));
}
BENCHMARK(BM_ResolveHandleSequential);

void BM_ResolveHandleRandom(benchmark::State& state) {
  ResolveHandles(state, Handles(true));
}
BENCHMARK(BM_ResolveHandleRandom);

void ResolveIdentifiers(benchmark::State& state, const std::vector<std::string>& identifiers) {
  TTree& tree = SharedTree();
  size_t i = 0;
  for (auto _ : state) {
    TNTreeData* node = tree.ResolveIdentifier(identifiers[i]);
    if (!node) {
      state.SkipWithError("an identifier of the tree did not resolve");
      break;
    }
    benchmark::DoNotOptimize(node);
    if (++i == identifiers.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

// Parameters anywhere in the tree, in random order: nearly every look-up walks from the root.
void BM_ResolveIdentifierRandom(benchmark::State& state) {
  std::vector<std::string> identifiers;
  for (TNTreeData* n : PreOrderNodes(SharedTree().Root()))
    if (n->Children.empty()) identifiers.push_back(n->Path);
  std::shuffle(identifiers.begin(), identifiers.end(), std::mt19937(20240602));
  ResolveIdentifiers(state, identifiers);
}
BENCHMARK(BM_ResolveIdentifierRandom);

// The parameters of one branch of the last device, over and over, as a client adding a group's items
// does: every look-up starts at the branch found last instead of walking 200 devices.
void BM_ResolveIdentifierSiblings(benchmark::State& state) {
  TNTreeData* branch = SharedTree().Root()->Children.back()->Children.back();
  std::vector<std::string> identifiers;
  for (TNTreeData* n : branch->Children) identifiers.push_back(n->Path);
  ResolveIdentifiers(state, identifiers);
}
BENCHMARK(BM_ResolveIdentifierSiblings);

// Every parameter in tree order: nine of each branch's ten look-ups are sibling look-ups.
void BM_ResolveIdentifierTreeOrder(benchmark::State& state) {
  std::vector<std::string> identifiers;
  for (TNTreeData* n : PreOrderNodes(SharedTree().Root()))
    if (n->Children.empty()) identifiers.push_back(n->Path);
  ResolveIdentifiers(state, identifiers);
}
BENCHMARK(BM_ResolveIdentifierTreeOrder);

// Renumbering a tree nothing moved in: every node keeps its handle.
void BM_RenumberUnchanged(benchmark::State& state) {
  TTree tree;
  BuildBenchTree(tree);
  for (auto _ : state) tree.Renumber();
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(tree.NodeCount()));
}
BENCHMARK(BM_RenumberUnchanged)->Unit(benchmark::kMicrosecond);

// The first device moved to the end: every node lands on a new position and gets a new generation.
void BM_RenumberAllMoved(benchmark::State& state) {
  TTree tree;
  BuildBenchTree(tree);
  TNTreeData* root = tree.Root();
  for (auto _ : state) {
    TNTreeData* first = root->Children.front();
    tree.DetachChild(root, first);
    tree.AttachChild(root, first);
    tree.Renumber();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(tree.NodeCount()));
}
BENCHMARK(BM_RenumberAllMoved)->Unit(benchmark::kMicrosecond);

// Rebuilding every path without a view, as after loading or renaming.
void BM_ShowTree(benchmark::State& state) {
  TTree tree;
  BuildBenchTree(tree);
  for (auto _ : state) tree.ShowTree(tree.Root(), nullptr, nullptr);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(tree.NodeCount()));
}
BENCHMARK(BM_ShowTree)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace orvela::bench
