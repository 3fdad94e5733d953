#include "opc_hda/HdaTestSupport.h"
#include "support/MeterTree.h"

namespace orvela::test {

THdaItemCopy CopyItem(const OPCHDA_ITEM& item) {
  THdaItemCopy copy;
  copy.client = item.hClient;
  for (DWORD k = 0; k < item.dwCount; ++k) {
    copy.times.push_back(item.pftTimeStamps[k]);
    copy.qualities.push_back(item.pdwQualities[k]);
    TVariant v;
    EXPECT_EQ(VariantToTVariant(item.pvDataValues[k], v), S_OK);
    copy.values.push_back(v);
  }
  return copy;
}

void FreeItems(OPCHDA_ITEM* items, DWORD count) {
  for (DWORD i = 0; i < count; ++i) {
    for (DWORD k = 0; k < items[i].dwCount; ++k) VariantClear(&items[i].pvDataValues[k]);
    CoTaskMemFree(items[i].pvDataValues);
    CoTaskMemFree(items[i].pdwQualities);
    CoTaskMemFree(items[i].pftTimeStamps);
  }
  CoTaskMemFree(items);
}

HRESULT STDMETHODCALLTYPE THdaClientSink::OnReadAttributeComplete(DWORD tx, HRESULT, OPCHANDLE client,
                                                                  DWORD n, OPCHDA_ATTRIBUTE* values,
                                                                  HRESULT* errors) {
  THdaAttributeDelivery d{tx, client, {}, {}, {}};
  for (DWORD i = 0; i < n; ++i) {
    d.ids.push_back(values[i].dwAttributeID);
    d.errors.push_back(errors[i]);
    TVariant v;
    if (values[i].dwNumValues == 1) VariantToTVariant(values[i].vAttributeValues[0], v);
    d.values.push_back(v);
  }
  std::lock_guard lock(mutex_);
  attributes_.push_back(std::move(d));
  return S_OK;
}

std::vector<int64_t> ExpectedIndices(sim::EPeriod period, int ringSize, TDateTime now, TDateTime start,
                                     TDateTime end) {
  const int64_t newest = sim::PeriodIndex(period, now) - 1;  // the period in progress is not kept
  std::vector<int64_t> out;
  for (int64_t i = newest - ringSize + 1; i <= newest; ++i) {
    const TDateTime t = sim::PeriodStart(period, i);
    if (start <= t && t < end) out.push_back(i);
  }
  return out;
}

void ExpectArchive(const THdaItemCopy& item, sim::EPeriod period, const std::vector<int64_t>& indices) {
  ASSERT_EQ(item.values.size(), indices.size());
  for (size_t k = 0; k < indices.size(); ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(FileTimeToInt64(item.times[k]),
              FileTimeToInt64(LocalDateTimeToFileTime(sim::PeriodStart(period, indices[k]))));
    EXPECT_EQ(item.qualities[k], OPCHDA_RAW | 0xC0u);
    EXPECT_EQ(item.values[k],
              TVariant::Single(sim::ArchiveValue(kHdaSerial, kHdaParam, period, indices[k], false)));
  }
}

OPCHDA_TIME AbsoluteTime(TDateTime local) {
  return OPCHDA_TIME{FALSE, nullptr, LocalDateTimeToFileTime(local)};
}

HdaServerTest::HdaServerTest() : clock(40, kHdaStart), line(sim::TLineOptions{.clock = &clock}) {
  SetSystemClock(&clock);
  MainThread::Attach();
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the main apartment, as the server's window thread
  line.AddDevice(sim::MakeDevice("tarvel2001", 1, kHdaSerial));
  line.ListenTcp();
  catalog.settings.EchoTested = 1;  // the line does not echo
  key.ConnName = "Котельная";
  key.ConnType = static_cast<uint8_t>(TConnKind::TcpClient);
  key.ProtType = static_cast<uint8_t>(TProtKind::XModem);
  key.IP_Addr = "127.0.0.1";
  key.IP_Port = line.Port();
  key.LinkAddress = BuildLinkAddress(key);
  catalog.settings.Key = key;

  TNTreeData* device = tree.AddChildNamed(tree.Root(), "ТАРВЕЛ мод.2001");
  device->Kind = nkDevice;
  device->Address = 1;
  device->ModelCode = mcTarvel2001;
  device->Serial = kHdaSerial;
  TTCPConnectionPort spare;
  auto model = TTarvelFactory::CreateModel(mcTarvel2001, key, nullptr, &spare, {});
  hourly = AddLeaf(device, {tidData, tidHours, kHdaParam}, *model);
  daily = AddLeaf(device, {tidData, tidDays, kHdaParam}, *model);
  TTree::SetConnectionKey(device, key);
  tree.ShowTree(tree.Root(), nullptr, nullptr);
  tree.Renumber();

  TSettings settings = TSettings::Defaults();
  settings.ReaderThreads = 2;
  settings.QueuePauseMs = 200;
  settings.StartPauseMs = 200;
  settings.JournalEveryRequest = true;
  settings.ChannelLog = false;
  reading = std::make_unique<TReadingEngine>(tree, logs, clock, host, &catalog);
  reading->Engine().SetSettings(settings);
  ctx = std::make_unique<TServerContext>(
      TServerContext{tree, reading->Engine(), logs, clock, std::chrono::minutes(3)});
  factory = MakeHdaServerFactory(*ctx);
}

HdaServerTest::~HdaServerTest() {
  factory.Reset();
  while (reading->Engine().Users() > 0) reading->Engine().FinalAsync();
  reading.reset();
  line.Stop();
  CoUninitialize();
  MainThread::Detach();
  SetSystemClock(nullptr);
}

TNTreeData* HdaServerTest::AddLeaf(TNTreeData* device, std::initializer_list<uint8_t> path,
                                   TDataModel& model) {
  TNTreeData* node = test::AddDescribedPath(tree, device, path, model);
  DescribeParameterNode(*node, VT_R4, "Масса", "т");
  return node;
}

TComPtr<IOPCHDA_Server> HdaServerTest::CreateServer() {
  TComPtr<IOPCHDA_Server> server;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IOPCHDA_Server, server.PutVoid()), S_OK);
  return server;
}

TComPtr<THdaClientSink> HdaServerTest::AdviseSink(IOPCHDA_Server* server) {
  auto sink = Make<THdaClientSink>();
  TComPtr<IConnectionPointContainer> container;
  EXPECT_EQ(server->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()), S_OK);
  TComPtr<IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(IID_IOPCHDA_DataCallback, point.Put()), S_OK);
  DWORD cookie = 0;
  EXPECT_EQ(point->Advise(sink->Identity(), &cookie), S_OK);
  return sink;
}

}  // namespace orvela::test
