#pragma once
// The configuration the benchmarks work on: a tree of the size a large site has (200 devices, 7 branches
// each, 10 parameters per branch) and a connection list of 100 connections the devices are spread over.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "tree/ConnectionList.h"
#include "tree/TreeItem.h"

namespace orvela::bench {

constexpr int kDevices = 200;
constexpr int kConnections = 100;

struct TBenchBranch {
  const char* name;
  int32_t archiveStep;  // ms; 0 for current data
};

constexpr TBenchBranch kBranches[] = {
    {"Текущие данные", 0}, {"Почасовой архив", 3'600'000}, {"Суточный архив", 86'400'000},
    {"Месячный архив", 0}, {"Итоговый архив", 0},          {"Архив событий", 0},
    {"Настройки", 0},
};

struct TBenchParameter {
  const char* name;
  int32_t dataType;
  const char* units;
};

constexpr TBenchParameter kParameters[] = {
    {"Q1", VT_R4, "Гкал"}, {"Q2", VT_R4, "Гкал"},       {"M1", VT_R4, "т"},  {"M2", VT_R4, "т"},
    {"V1", VT_R4, "м3"},   {"V2", VT_R4, "м3"},         {"T1", VT_R4, "°C"}, {"T2", VT_R4, "°C"},
    {"P1", VT_R4, "МПа"},  {"Наработка", VT_I4, "час"},
};

inline TConnKey BenchConnKey(int index) {
  TConnKey key;
  key.ConnName = "Котельная " + std::to_string(index + 1);
  key.ConnType = static_cast<uint8_t>(TConnKind::TcpClient);
  key.ProtType = static_cast<uint8_t>(TProtKind::XModem);
  key.IP_Addr = "10.0." + std::to_string(index / 250) + "." + std::to_string(index % 250 + 1);
  key.IP_Port = 4001;
  key.LinkAddress = BuildLinkAddress(key);
  return key;
}

inline TConnectionList BuildBenchConnections() {
  TConnectionList list;
  for (int i = 0; i < kConnections; ++i) {
    TConnSettings settings = TConnSettings::Defaults();
    settings.Key = BenchConnKey(i);
    settings.BaudRate = 9600;
    const TConnKey& key = settings.Key;
    TConnRow row;
    row.Enabled = i % 7 != 0;
    row.Columns = {key.ConnName, "XModem",
                   "",           "",
                   key.IP_Addr,  std::to_string(key.IP_Port),
                   "",           std::to_string(key.ConnType)};
    row.Settings = settings;
    list.Rows.push_back(std::move(row));
  }
  return list;
}

// Devices are "Узел учёта 1" ... "Узел учёта 200", so identifiers share prefixes ("...1" inside
// "...10") the way real names do.
inline void BuildBenchTree(TTree& tree) {
  tree.SetRoot(tree.CreateRoot());
  for (int d = 0; d < kDevices; ++d) {
    TNTreeData* device = tree.AddChildNamed(tree.Root(), "Узел учёта " + std::to_string(d + 1));
    device->Kind = nkDevice;
    device->Level = 0;
    device->ModelCode = mcTarvel2001;
    device->Address = static_cast<uint8_t>(d % 250 + 1);
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08d", 10000 + d);
    device->Serial = serial;
    device->Attributes[1] = BuildAttribute(2, TVariant::Int(device->Address));
    for (const TBenchBranch& b : kBranches) {
      TNTreeData* branch = tree.AddChildNamed(device, b.name);
      branch->Kind = nkBranch;
      branch->ArchiveStep = b.archiveStep;
      uint8_t address = 1;
      for (const TBenchParameter& p : kParameters) {
        TNTreeData* parameter = tree.AddChildNamed(branch, p.name);
        parameter->Kind = b.archiveStep ? nkGroupedParameter : nkParameter;
        parameter->Address = address++;
        parameter->ArchiveStep = b.archiveStep;
        parameter->Attributes[0] = BuildAttribute(1, TVariant::Int(p.dataType));
        parameter->Attributes[1] = BuildAttribute(2, TVariant::Str(p.name));
        parameter->Attributes[2] = BuildAttribute(3, TVariant::Str(p.units));
      }
    }
    TTree::SetConnectionKey(device, BenchConnKey(d % kConnections));
  }
  tree.Renumber();
  tree.ShowTree(tree.Root(), nullptr, nullptr);
}

// Every node below root in pre-order (root included).
inline std::vector<TNTreeData*> PreOrderNodes(TNTreeData* root) {
  std::vector<TNTreeData*> nodes;
  std::vector<TNTreeData*> stack{root};
  while (!stack.empty()) {
    TNTreeData* n = stack.back();
    stack.pop_back();
    nodes.push_back(n);
    for (auto it = n->Children.rbegin(); it != n->Children.rend(); ++it) stack.push_back(*it);
  }
  return nodes;
}

// A fresh folder for the files one benchmark writes; removed with everything in it.
class TScratchFolder {
 public:
  TScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvela-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a scratch folder");
    path_ = pattern;
  }
  ~TScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TScratchFolder(const TScratchFolder&) = delete;
  TScratchFolder& operator=(const TScratchFolder&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace orvela::bench
