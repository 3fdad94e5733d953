#include "engine/AsyncReadRaw.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>

#include "platform/MainThread.h"
#include "platform/com/ComVariant.h"
#include "platform/com/opc/OpcDa.h"
#include "platform/com/opc/OpcHda.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

// Drivers are never created while another reader returns results.
std::mutex& DriverLock() {
  static std::mutex lock;
  return lock;
}

constexpr int64_t kAfterConnectMs = 100;
constexpr int64_t kAfterFailedConnectMs = 500;
constexpr DWORD kHdaRawGood = 0x000400C0;
constexpr DWORD kHdaDataLost = 0x00400000;
constexpr double kMinute = 1.0 / 1440;

std::string Hex8(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(hr));
  return text;
}

// A span as seconds with milliseconds, for the journal's durations.
std::string Seconds(TDateTime span) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f с", span * 86400);
  return text;
}

const TNTreeData* DeviceNode(const TNTreeData* node) {
  while (node && node->Kind != nkDevice) node = node->Parent;
  return node;
}

// Where a grouped parameter's value sits in the driver's answer for its branch.
size_t GroupPosition(const TNTreeData& node) {
  const TNTreeData* device = DeviceNode(&node);
  const uint8_t family = device ? device->ModelCode : 0;
  const bool byAddress = (family == mcOrlix || family == mcTarvelKompakt) && node.Level < 4;
  if (byAddress) return node.Address;
  if (family == mcOrlix || family == mcTarvelKompakt || family == mcTarvelM || family == mcTarvel2001 ||
      family == mcTarvelF || family == mcCE6822 || family == mcIntelekon || family == mcNeyron ||
      family == mcTarvel307) {
    if (!node.Parent) return 0;
    const auto& siblings = node.Parent->Children;
    for (size_t i = 0; i < siblings.size(); ++i)
      if (siblings[i] == &node) return i;
  }
  return 0;
}

// The entries a (sub-)item takes from the driver's answer. The Tarvel M and Orlix drivers answer a branch
// with one record per level below it (subsystem, parameter, value or status): an item deeper in the branch
// takes its entries by walking down those records, one position per level.
const TPrbArray& EntriesFor(const TDescThread& item, const TDescThread* group, const TPrbArray& list) {
  static const TPrbArray kNone;
  if (!group) return list;
  std::vector<const TNTreeData*> levels{item.Node};
  const TNTreeData* device = DeviceNode(item.Node);
  const bool nested = device && (device->ModelCode == mcTarvelM || device->ModelCode == mcOrlix ||
                                  device->ModelCode == mcTarvel307);
  if (nested)
    while (levels.back()->Parent && levels.back()->Parent != group->Node && levels.size() < 8)
      levels.push_back(levels.back()->Parent);
  if (nested && levels.back()->Parent != group->Node) levels.resize(1);
  const TPrbArray* entries = &list;
  for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
    const size_t pos = GroupPosition(**level);
    if (pos >= entries->Items.size()) return kNone;
    entries = &entries->Items[pos];
  }
  return *entries;
}

}  // namespace

// ---- Reader
// ------------------------------------------------------------------------------------------------

TLinkMaker FactoryLinks() {
  return [](const TConnKey& key, IConnectionCatalog* catalog) {
    return TTarvelFactory::CreateLink(key, nullptr, catalog);
  };
}

TAsyncReadRaw::TAsyncReadRaw(TAsyncEngine& engine, TConnOrder& order, IConnectionCatalog* catalog,
                             TLinkMaker makeLink)
    : engine_(engine),
      ctx_(engine.Context()),
      order_(order),
      catalog_(catalog),
      makeLink_(std::move(makeLink)) {
  SetDescription(order.LinkAddress());
}

TAsyncReadRaw::~TAsyncReadRaw() {
  Join();
}

bool TAsyncReadRaw::Stopping(std::stop_token stop) const {
  return ctx_.shutdown || stop.stop_requested();
}

void TAsyncReadRaw::Journal(const std::string& text, const std::string& second) {
  ctx_.logs->Journal(text, second.empty() ? order_.LinkAddress() : second);
}

void TAsyncReadRaw::Execute(std::stop_token stop) {
  Clock& clock = ctx_.GetClock();
  const TDateTime started = clock.NowUtc();
  order_.ThreadStart = started;
  order_.ItemStart = started;
  const std::string& address = order_.LinkAddress();
  offline_ = order_.OfflineRun;
  order_.LogLine(FormatDateTime(UtcToLocal(started)) + " - Поток чтения запущен " + address);
  {
    std::unique_lock work(order_.WorkMutex());
    // A delayed connection is not opened: its clients are answered at once without the device.
    const bool linked = offline_ || OpenLink();
    if (ctx_.settings.JournalEveryRequest)
      Journal("Поток чтения - запуск" + address + "; HDARead-" + std::to_string(order_.HdaReadCount) +
              "; HDAAdvise-" + std::to_string(order_.HdaAdviseCount) + "; DARead-" +
              std::to_string(order_.DaReadCount) + "; DAUpdate-" + std::to_string(order_.DaRefreshCount));
    if (!linked) connect_ = TConnectState::Failed;
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    auto& work_list = order_.Work();
    while (!work_list.empty() && order_.Enabled != 0) {
      order_.LogLine("Состояние работы: AppTerm = " + std::to_string(ctx_.shutdown ? 1 : 0));
      if (Stopping(stop)) break;
      TDescThread& item = *work_list.front();
      itemStart_ = clock.NowUtc();
      order_.ItemStart = itemStart_;
      if (!ServeItem(item, stop)) break;  // stopped before it was read: the item stays
      if (item.ReadNeeded != 1) current_ = nullptr;
      work_list.pop_front();
      // Current data first: the items left stay in the work list, behind the current data the queue puts
      // before them, for the next run.
      if (ctx_.settings.CurrentDataFirst && order_.DAWaiting && !work_list.empty() &&
          IsHdaKind(work_list.front()->Kind) &&
          (clock.NowUtc() - started) * 86400 > ctx_.settings.CurrentDataMaxDelaySec)
        break;
    }
    if (SUCCEEDED(init)) CoUninitialize();
    if (link_) {
      order_.LogLine("Закрытие соединения");
      link_->Release();
      link_.reset();
    }
  }
  if (ctx_.settings.JournalEveryRequest)
    Journal("Поток чтения - завершение (" + FormatDateTime(clock.NowUtc() - started) + ")" + address +
            "; HDARead - " + std::to_string(order_.HdaReadCount) + "; HDAAdvise - " +
            std::to_string(order_.HdaAdviseCount) + "; DARead - " + std::to_string(order_.DaReadCount) +
            "; DAUpdate - " + std::to_string(order_.DaRefreshCount));
  // Only a connection attempt that failed delays the order.
  order_.EndRun(connect_ == TConnectState::Connected ? TRunOutcome::Connected
                : connect_ == TConnectState::Failed  ? TRunOutcome::ConnectFailed
                                                     : TRunOutcome::NotTried);
}

bool TAsyncReadRaw::OpenLink() {
  std::lock_guard driver(DriverLock());
  link_ = makeLink_(order_.Key(), catalog_);
  if (!link_) {
    Journal("Поток - ресурс недоступен: " + order_.LinkAddress());
    return false;
  }
  link_->SetHoldMark(false);
  link_->SetOwnedByModel(false);
  link_->SetAddress(order_.LinkAddress());
  link_->SetOrder(&order_);
  order_.LogLine("Поток: соединение настроено " + order_.LinkAddress());
  return true;
}

void TAsyncReadRaw::Connect(const TDescThread& item, std::stop_token stop) {
  Clock& clock = ctx_.GetClock();
  // A link that raises on every attempt ends as a failed connection instead of retrying until stopped.
  for (int attempt = 1; attempt <= kConnectErrorAttempts && !Stopping(stop); ++attempt) {
    try {
      const bool ok = link_->Connect();
      clock.Sleep(kAfterConnectMs, stop);
      if (ok) {
        connect_ = TConnectState::Connected;
        return;
      }
      break;
    } catch (const std::exception&) {
      Journal("Ошибка при подключении " + (item.Node ? item.Node->Path : std::string()));
    }
  }
  Journal("Поток - ресурс недоступен: " + order_.LinkAddress(), order_.LinkAddress());
  clock.Sleep(kAfterFailedConnectMs, stop);
  connect_ = TConnectState::Failed;
}

std::unique_ptr<TDataModel> TAsyncReadRaw::PrepareModel(TDescThread& item, TPribor*& record) {
  const TNTreeData* device = DeviceNode(item.Node);
  TModelEnvironment environment;
  environment.Settings = ctx_.settings;
  environment.Shutdown = &ctx_.shutdown;
  std::unique_ptr<TDataModel> model;
  {
    std::lock_guard driver(DriverLock());
    SetStatus("Создание DataModel");
    if (device && link_)
      model = TTarvelFactory::CreateModel(device->ModelCode, order_.Key(), nullptr, link_.get(), environment,
                                          catalog_);
  }
  SetStatus("CheckPrb");
  record = engine_.Devices().FindDeviceRecord(item.Serial);
  if (!record || !model) {
    Journal(std::string("Ошибка подготовки ") + (!record ? "Неправильный pPrb" : "Не создана DataModel"));
    return nullptr;
  }
  model->SetOrder(&order_);
  model->SetDevice(record);
  model->SetRequestedNode(item.Node);
  model->SetWorkItem(&item);
  model->SetArchiveDates(&archiveDates_);
  model->SetTaskClass(IsHdaKind(item.Kind) ? kTaskArchive : kTaskCurrent);
  return model;
}

bool TAsyncReadRaw::ServeItem(TDescThread& item, std::stop_token stop) {
  bool needed = item.ReadNeeded == 1;
  for (const auto& sub : item.SubItems) needed = needed || sub->ReadNeeded == 1;
  item.ReadNeeded = needed ? 1 : 0;
  TPrbArray list;
  list.ValueQuality = kQualityNotConnected;
  if (offline_) {
    if (order_.FirstAnswerWhileDelayed())
      Journal("Соединение отложено до " + FormatDateTime(UtcToLocal(order_.DelayEnd)) +
              ": запросы клиентов отвечены без чтения (нет связи)");
  } else {
    order_.LogLine("Смотрим надо соединяться или нет " + std::to_string(static_cast<int>(connect_)));
    if (connect_ == TConnectState::NotTried) {
      if (needed) {
        order_.LogLine("Надо соединяться");
        Connect(item, stop);
      } else {
        Journal("Поток чтения запуск - соединение пока не требуется", order_.LinkAddress());
      }
    }
    if (Stopping(stop)) return false;
    ReadItem(item, list);
  }
  SetProgress(100);
  std::lock_guard driver(DriverLock());
  if (IsHdaKind(item.Kind))
    ReturnHda(item, list);
  else
    ReturnDa(item, list);
  return true;
}

void TAsyncReadRaw::ReadItem(TDescThread& item, TPrbArray& list) {
  std::unique_ptr<TDataModel> model;
  try {
    TPribor* record = nullptr;
    model = PrepareModel(item, record);
    if (model) {
      if (record != current_) {
        record->OtherDevice = false;
        record->ReadFailed = false;
        current_ = record;
        CheckDevice(*model, *record, item);
      }
      SetProgress(50);
      if (IsHdaKind(item.Kind))
        ReadHda(*model, record, item, list);
      else
        ReadDa(*model, item, list);
    }
  } catch (const std::exception& e) {
    // The item is still answered (without what the driver half gathered), so its client is not left
    // waiting and its task not left handed out.
    Journal("Ошибка чтения " + order_.LinkAddress() + " " + std::to_string(item.Kind) + " " +
            std::to_string(item.Shape) + "  " + e.what());
    list = TPrbArray{};
    list.ValueQuality = kQualityNotConnected;
    item.ReadResult = 0;
  }
  std::lock_guard driver(DriverLock());
  model.reset();
}

void TAsyncReadRaw::ReturnEach(TDescThread& item, const std::function<HRESULT(TDescThread&)>& returnOne) {
  const bool group = item.Shape == kWorkGroup;
  std::vector<TDescThread*> items;
  if (group)
    for (auto& sub : item.SubItems) items.push_back(sub.get());
  else
    items.push_back(&item);
  for (TDescThread* one : items) {
    HRESULT hr = E_FAIL;
    try {
      hr = returnOne(*one);
    } catch (const std::exception& e) {
      Journal("Ошибка возврата " + std::to_string(one->ClientHandle) + "  " + e.what());
    }
    order_.FinishItem(*one, hr);
  }
  if (group) order_.FinishItem(item, S_OK);
}

void TAsyncReadRaw::CheckDevice(TDataModel& model, TPribor& record, const TDescThread& item) {
  if (connect_ != TConnectState::Connected || item.ReadNeeded != 1) return;
  Clock& clock = ctx_.GetClock();
  const std::string path = item.Node ? item.Node->Path : std::string();
  SetStatus("Чтение времени прибора");
  const TDateTime now = clock.Now();
  if ((now - record.LastClockRead) / kMinute > ctx_.settings.ClockCheckMinutes) {
    TDateTime deviceTime = 0;
    if (!model.ReadDeviceClock(record.Address, deviceTime)) {
      Journal("Время прочитать не удалось. Параметр - " + path);
    } else {
      const TDateTime computer = clock.Now();
      record.TimeRead = true;
      record.LastClockRead = computer;
      record.DateCache.Value = TVariant::Date(computer);
      record.DateCache.Quality = kQualityGood;
      record.DeviceTime = deviceTime;
      const double diff = (computer - deviceTime) / kMinute;
      record.TimeCorrection = 0;
      if (ctx_.settings.TimeCorrectionMode && std::fabs(diff) > 55 && std::fabs(diff) < 65)
        record.TimeCorrection = diff > 0 ? 1.0 / 24 : -1.0 / 24;
      // The clock is read a moment before the computer's time is taken, so the device is nearly always a
      // little behind: only whole minutes beyond the allowed difference, either way, are worth a warning.
      if (std::floor(std::fabs(diff)) > ctx_.settings.AllowedClockDiffMinutes)
        Journal("Внимание. Проверьте время. Прибор (" + record.Serial + "): " + FormatDateTime(deviceTime) +
                ". Компьютер: " + FormatDateTime(computer) +
                ".  Рекомендуется настроить Время и перезапустить задачу.");
    }
  }
  SetStatus("Чтение серийного номера");
  std::string serial;
  const bool read = model.ReadSerialNumber(record.Address, serial);
  if (read && serial != record.Serial && record.ModelCode != mcCE6822) {
    Journal("При чтении прибора (" + record.Serial + ") Обнаружен другой прибор" + serial +
            ". Чтение прервано.");
    record.OtherDevice = true;
  } else if (!read && record.ModelCode <= 4) {
    order_.LogLine("Серийный номер не получен. Чтение не будет выполняться. Или оно и не требовалось");
    record.OtherDevice = true;
  }
}

void TAsyncReadRaw::ReadHda(TDataModel& model, TPribor* record, TDescThread& item, TPrbArray& list) {
  SetStatus("Чтение HDA");
  if (item.End < item.Start)
    Journal("Интервал чтения задан неправильно. Вероятно неправильная дата в компьютере.");
  const bool connected = connect_ == TConnectState::Connected;
  const bool read = item.End >= item.Start && item.ReadNeeded == 1 && connected && !record->ReadFailed &&
                    !record->OtherDevice && item.Node && item.Node->Address != 128;
  if (!read) {
    Journal("HDA Чтение не выполняется " + (item.Node ? item.Node->Path : std::string()) +
            "  Статус:" + std::to_string(record->ReadFailed ? 1 : 0));
    return;
  }
  order_.LogLine("Чтение выполняется");
  if (model.ReadArchive(list, item.Node, item.WindowStart)) {
    readDone_ = ctx_.GetClock().NowUtc();
    item.ReadResult = 1;
  } else {
    record->ReadFailed = true;
  }
}

void TAsyncReadRaw::ReadDa(TDataModel& model, TDescThread& item, TPrbArray& list) {
  SetStatus("Чтение DA - 0");
  if (current_ && current_->OtherDevice) return;
  if (item.Kind == tkDaWrite) {
    order_.LogLine("Запись в прибор");
    if (connect_ == TConnectState::Connected && model.WriteCurrent(list, item.Node, 1)) item.ReadResult = 1;
    return;
  }
  if (connect_ != TConnectState::Connected && item.ReadNeeded == 1) return;
  SetStatus("Чтение DA - 1");
  if (model.ReadCurrent(list, item.Node, 1)) item.ReadResult = 1;
}

// ---- Return
// ------------------------------------------------------------------------------------------------

void TAsyncReadRaw::ReturnHda(TDescThread& item, const TPrbArray& list) {
  SetStatus("Возврат HDA");
  const bool group = item.Shape == kWorkGroup;
  ReturnEach(item, [&](TDescThread& oneRef) {
    TDescThread* one = &oneRef;
    const TPrbArray& entries = EntriesFor(*one, group ? &item : nullptr, list);
    TResultsHDA result;
    result.ClientTransaction = one->ClientTransaction;
    result.TransactionNumber = one->TransactionNumber;
    result.ClientHandle = one->ClientHandle;
    result.ItemHandle = one->ItemHandle;
    // A device that was to be read over a connection that is not open: the answer is no data, marked.
    if (item.ReadNeeded == 1 && connect_ != TConnectState::Connected) result.Error = E_FAIL;
    TDateTime last = 0;
    for (const TPrbArray& entry : entries.Items) {
      if (!(one->Start < entry.TimeStamp && entry.TimeStamp < one->End)) continue;
      result.Records.push_back({LocalDateTimeToFileTime(entry.TimeStamp),
                                entry.ValueQuality == kQualityGood ? kHdaRawGood : kHdaDataLost,
                                entry.Value});
      last = entry.TimeStamp;
    }
    if (!result.Records.empty()) one->WindowStart = last;
    if (one->Task && item.ReadResult == 1) one->Task->Created = one->Task->LastServed = readDone_;
    const std::string path = one->Node ? one->Node->Path : std::string();
    std::string window = "(";  // appended: g++ 12 misreports "literal" + temporary at -O3
    window.append(FormatDateTime(one->Start)).append(" - ").append(FormatDateTime(one->End)).append(")");
    if (result.Records.empty())
      order_.LogLine("Параметр: " + std::to_string(one->ClientHandle) +
                     (item.ReadNeeded == 1
                          ? "; Ошибка нет данных"
                          : "; Чтение не требовалось: " + std::to_string(one->Task ? one->Task->Served : 0)));
    const bool modemRule = order_.IsModem() && ctx_.settings.ModemJournal;
    if (ctx_.settings.JournalEveryRequest || modemRule) {
      if (!result.Records.empty())
        Journal("HDA [" + std::to_string(entries.Items.size()) + "] (" +
                std::to_string(result.Records.size()) + ") (|" + FormatDateTime(last) + "|) " + window +
                " Прочитан за " + Seconds(readDone_ - itemStart_) + " :" + path);
      else if (item.ReadNeeded != 1)
        Journal("HDA Не требовалось [" + std::to_string(one->ArchiveStep) + "]" + window + " : " + path);
      else if (modemRule || connect_ == TConnectState::Connected)
        Journal("HDA Прочитать не удалось  :" + path);
    }
    HRESULT hr = S_OK;
    if (one->Synchronous) {
      engine_.DeliverHdaResult(std::make_unique<TResultsHDA>(std::move(result)));
    } else {
      hr = CallHda(*one, result);
      if (one->Kind == tkHdaAdvise && one->Task)
        one->Task->WindowStart = TTaskTime{false, {}, LocalDateTimeToFileTime(one->WindowStart)};
    }
    return hr;
  });
}

HRESULT TAsyncReadRaw::CallHda(TDescThread& item, TResultsHDA& result) {
  if (!item.Callback) return S_OK;
  TComPtr<IOPCHDA_DataCallback> callback;
  HRESULT hr = item.Callback->Get(callback);
  if (FAILED(hr) || !callback) {
    Journal("Ошибка " + Hex8(hr) + " получения интерфейса для возврате архива: " +
            std::to_string(result.RecordCount()) + "  " + std::to_string(item.ClientHandle));
    return hr;
  }
  const size_t n = result.Records.size();
  std::vector<FILETIME> times(n);
  std::vector<DWORD> qualities(n);
  std::vector<VARIANT> values(n);
  for (size_t i = 0; i < n; ++i) {
    times[i] = result.Records[i].Time;
    qualities[i] = result.Records[i].Quality;
    VariantInit(&values[i]);
    TVariantToVariant(result.Records[i].Value, &values[i]);
  }
  OPCHDA_ITEM opcItem{static_cast<OPCHANDLE>(item.ClientHandle),
                      0,
                      static_cast<DWORD>(n),
                      times.data(),
                      qualities.data(),
                      values.data()};
  HRESULT error = S_OK;
  const DWORD tx = static_cast<DWORD>(item.ClientTransaction);
  hr = item.Kind == tkHdaRead ? callback->OnReadComplete(tx, S_OK, 1, &opcItem, &error)
                              : callback->OnDataChange(tx, S_OK, 1, &opcItem, &error);
  for (VARIANT& v : values) VariantClear(&v);
  if (FAILED(hr)) Journal("Ошибка " + Hex8(hr) + " интерфейса при возврате архива: " + item.Node->Path);
  return hr;
}

void TAsyncReadRaw::ReturnDa(TDescThread& item, const TPrbArray& list) {
  SetStatus("Возврат DA");
  const bool group = item.Shape == kWorkGroup;
  const FILETIME now = UtcDateTimeToFileTime(ctx_.GetClock().NowUtc());
  ReturnEach(item, [&](TDescThread& oneRef) {
    TDescThread* one = &oneRef;
    const TPrbArray& entries = EntriesFor(*one, group ? &item : nullptr, list);
    TResultsDA result;
    result.TransactionNumber = one->TransactionNumber;
    result.ItemHandle = one->ItemHandle;
    result.ClientHandles.push_back(one->ClientHandle);
    result.TimeStamps.push_back(now);
    // A write the device did not take is that item's error, not a success with a bad master code.
    result.Errors.push_back(item.Kind == tkDaWrite && item.ReadResult != 1 ? E_FAIL : S_OK);
    // A single item's answer holds one value item; a group's answer holds each parameter's value item.
    const TPrbArray* value = nullptr;
    if (item.Kind != tkDaWrite)
      value = !group ? entries.SingleValue()
                     : (entries.Count == 1 && entries.Items.empty() ? &entries : entries.SingleValue());
    if (value) {
      result.Qualities.push_back(value->ValueQuality);
      result.Values.push_back(value->Value);
    } else {
      const uint8_t q = item.Kind == tkDaWrite ? kQualityNotConnected : list.ValueQuality;
      result.Qualities.push_back(q == 0 ? kQualityNotConnected : q);
      result.Values.emplace_back();
    }
    order_.LogLine("Значение DA: " + std::to_string(one->ClientHandle) +
                   " TransID: " + std::to_string(one->ClientTransaction));
    HRESULT hr = S_OK;
    if (one->Synchronous) {
      engine_.DeliverDaResult(std::make_unique<TResultsDA>(std::move(result)));
    } else {
      hr = CallDa(*one, result);
    }
    const std::string path = one->Node ? one->Node->Path : std::string();
    const bool journal =
        ctx_.settings.JournalEveryRequest || (order_.IsModem() && ctx_.settings.ModemJournal);
    if (journal && SUCCEEDED(hr) && item.ReadResult == 1)
      Journal(std::string(item.Kind == tkDaWrite ? "DA записан за" : "DA прочитан за") +
              Seconds(ctx_.GetClock().NowUtc() - itemStart_) + " :" + path);
    else if (item.ReadResult != 1 && (journal || connect_ == TConnectState::Connected))
      Journal("DA чт/зап не удалось:" + path);
    return hr;
  });
}

HRESULT TAsyncReadRaw::CallDa(TDescThread& item, TResultsDA& result) {
  if (!item.Callback) return S_OK;
  TComPtr<IOPCDataCallback> callback;
  HRESULT hr = item.Callback->Get(callback);
  if (FAILED(hr) || !callback) {
    Journal("Произошла ошибка при возврате: " + std::to_string(item.ClientHandle));
    return hr;
  }
  OPCHANDLE handle = static_cast<OPCHANDLE>(item.ClientHandle);
  VARIANT value;
  VariantInit(&value);
  TVariantToVariant(result.Values[0], &value);
  WORD quality = result.Qualities[0];
  FILETIME stamp = result.TimeStamps[0];
  HRESULT error = result.Errors[0];
  const DWORD tx = static_cast<DWORD>(item.ClientTransaction);
  const OPCHANDLE group = static_cast<OPCHANDLE>(item.ClientGroup);
  // The master quality is S_OK only when every item is good.
  const HRESULT master = quality == kQualityGood ? S_OK : S_FALSE;
  if (item.Kind == tkDaRead)
    hr = callback->OnReadComplete(tx, group, master, S_OK, 1, &handle, &value, &quality, &stamp, &error);
  else if (item.Kind == tkDaRefresh)
    hr = callback->OnDataChange(tx, group, master, S_OK, 1, &handle, &value, &quality, &stamp, &error);
  else
    hr = callback->OnWriteComplete(tx, group, SUCCEEDED(error) ? S_OK : S_FALSE, 1, &handle, &error);
  VariantClear(&value);
  if (FAILED(hr)) Journal("Произошла ошибка при возврате: " + std::to_string(item.ClientHandle));
  return hr;
}

// ---- Launcher
// ----------------------------------------------------------------------------------------------

TAsyncReaders::~TAsyncReaders() {
  StopAll();
}

void TAsyncReaders::Reap() {
  std::erase_if(readers_, [](const std::unique_ptr<TAsyncReadRaw>& r) { return r->Finished(); });
}

void TAsyncReaders::StartReader(TConnOrder& order) {
  std::lock_guard lock(mutex_);
  Reap();
  auto reader = std::make_unique<TAsyncReadRaw>(*engine_, order, catalog_, makeLink_);
  reader->Start();
  readers_.push_back(std::move(reader));
}

void TAsyncReaders::StopAll() {
  std::vector<std::unique_ptr<TAsyncReadRaw>> stopping;
  {
    std::lock_guard lock(mutex_);
    stopping.swap(readers_);
  }
  for (auto& reader : stopping) reader->RequestStop();
  // A reader may be inside a callback to a client of the main thread: serve it until every reader is out.
  MainThread::PumpUntil([&] {
    return std::all_of(stopping.begin(), stopping.end(), [](const auto& r) { return r->Finished(); });
  });
  stopping.clear();  // joins each
}

}  // namespace orvela
