#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/com/ComMemory.h"
#include "platform/com/ComObject.h"
#include "platform/com/ComTestSupport.h"
#include "platform/com/ComText.h"

namespace orvela {
namespace {

using test::TEventSink;

class TPersistingThing final : public TComObject<IPersistFile, ISupportErrorInfo> {
 public:
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID*) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE Load(LPCOLESTR, DWORD) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE Save(LPCOLESTR, BOOL) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR*) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID) override { return S_FALSE; }
};

TEST(ComObject, AnswersItsInterfacesAndTheirBasesWithOneIdentity) {
  const int64_t live = ComLiveObjects();
  {
    auto obj = Make<TPersistingThing>();
    ASSERT_TRUE(obj);
    EXPECT_EQ(ComLiveObjects(), live + 1);
    TComPtr<IUnknown> viaFile, viaError;
    TComPtr<IPersistFile> file;
    TComPtr<IPersist> persist;
    TComPtr<ISupportErrorInfo> error;
    ASSERT_EQ(obj.As(file), S_OK);
    ASSERT_EQ(obj.As(persist), S_OK);  // the base of IPersistFile
    ASSERT_EQ(obj.As(error), S_OK);
    ASSERT_EQ(file.As(viaFile), S_OK);
    ASSERT_EQ(error.As(viaError), S_OK);
    EXPECT_EQ(viaFile.Get(), viaError.Get());
    EXPECT_EQ(static_cast<void*>(persist.Get()), static_cast<void*>(file.Get()));

    TComPtr<IDispatch> none;
    EXPECT_EQ(obj.As(none), E_NOINTERFACE);
    EXPECT_FALSE(none);
    EXPECT_EQ(obj->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(obj->RefCount(), 6u);
  }
  EXPECT_EQ(ComLiveObjects(), live);
}

// A container with one single-sink point and one many-sink point.
class TSource final : public TConnectionPointContainer<IConnectionPointContainer> {
 public:
  TSource()
      : single(AddConnectionPoint(IID_ITestEvents, 1)),
        many(AddConnectionPoint(IID_IDispatch, TConnectionPoint::kManySinks)) {}
  TConnectionPoint& single;
  TConnectionPoint& many;
};

class TDispatchSink final : public TComObject<IDispatch> {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return S_OK;
  }
};

TEST(ConnectionPoint, SingleAndManySinksWithCookiesAndLimits) {
  const int64_t live = ComLiveObjects();
  {
    auto source = Make<TSource>();
    auto sink = Make<TEventSink>();
    auto other = Make<TEventSink>();
    std::vector<std::pair<DWORD, bool>> handled;
    source->single.SetHandler([&](DWORD cookie, IUnknown* s) { handled.emplace_back(cookie, s != nullptr); });

    TComPtr<IConnectionPoint> point;
    ASSERT_EQ(source->FindConnectionPoint(IID_ITestEvents, point.Put()), S_OK);
    EXPECT_EQ(source->FindConnectionPoint(IID_IStream, point.Put()), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(source->FindConnectionPoint(IID_ITestEvents, point.Put()), S_OK);

    DWORD cookie = 77;
    EXPECT_EQ(point->Advise(nullptr, &cookie), E_POINTER);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(point->Advise(sink.Get(), nullptr), E_POINTER);
    ASSERT_EQ(point->Advise(sink.Get(), &cookie), S_OK);
    DWORD second = 0;
    EXPECT_EQ(point->Advise(other.Get(), &second), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(other->RefCount(), 1u);  // refused sinks are not kept

    // A sink without the point's interface cannot connect.
    auto wrong = Make<TDispatchSink>();
    TComPtr<IConnectionPoint> manyPoint;
    ASSERT_EQ(source->FindConnectionPoint(IID_IDispatch, manyPoint.Put()), S_OK);
    EXPECT_EQ(manyPoint->Advise(sink.Get(), &second), CONNECT_E_CANNOTCONNECT);
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(manyPoint->Advise(wrong.Get(), &c1), S_OK);
    ASSERT_EQ(manyPoint->Advise(wrong.Get(), &c2), S_OK);
    EXPECT_NE(c1, c2);
    EXPECT_EQ(source->many.SinkCount(), 2u);

    for (auto& s : source->single.Sinks<ITestEvents>()) s->Notify(5, nullptr);
    EXPECT_EQ(sink->sum, 5);

    EXPECT_EQ(point->Unadvise(cookie + 100), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(sink->RefCount(), 1u);
    EXPECT_EQ(handled, (std::vector<std::pair<DWORD, bool>>{{cookie, true}, {cookie, false}}));

    // The point keeps its container alive and leads back to it.
    TComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(manyPoint->GetConnectionPointContainer(back.Put()), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(back.Get()), source->Identity());
    IID iid{};
    ASSERT_EQ(manyPoint->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, IID_IDispatch));

    TComPtr<IEnumConnections> connections;
    ASSERT_EQ(manyPoint->EnumConnections(connections.Put()), S_OK);
    CONNECTDATA data[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(connections->Next(3, data, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(data[0].dwCookie, c1);
    EXPECT_EQ(data[1].dwCookie, c2);
    for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();

    TComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(source->EnumConnectionPoints(points.Put()), S_OK);
    IConnectionPoint* got[2] = {};
    ASSERT_EQ(points->Next(2, got, &fetched), S_OK);
    EXPECT_EQ(got[0], point.Get());
    for (auto* p : got) p->Release();
    // Sinks still advised when the container goes are released with it.
  }
  EXPECT_EQ(ComLiveObjects(), live);
}

TEST(Enumerator, HandsOutWhatRemainsAndSharesItsListWithClones) {
  const int64_t before = ComOutstandingAllocations();
  TComPtr<IEnumString> e;
  ASSERT_EQ(MakeStringEnumerator({u"a", u"b", u"c"}, e.Put()), S_OK);
  LPOLESTR out[8] = {};
  ULONG fetched = 99;
  EXPECT_EQ(e->Next(2, out, nullptr), E_POINTER);  // more than one needs the count
  EXPECT_EQ(e->Skip(1), S_OK);
  TComPtr<IEnumString> clone;
  ASSERT_EQ(e->Clone(clone.Put()), S_OK);
  // Asking for far more than remains allocates only for what remains.
  EXPECT_EQ(e->Next(1000000, out, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(WideToUtf8(out[0]) + WideToUtf8(out[1]), "bc");
  EXPECT_EQ(out[2], nullptr);
  for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(out[i]);
  EXPECT_EQ(e->Next(1, out, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(e->Skip(1), S_FALSE);
  ASSERT_EQ(clone->Next(1, out, nullptr), S_OK);  // the clone kept its own position
  EXPECT_EQ(WideToUtf8(out[0]), "b");
  CoTaskMemFree(out[0]);

  // Memory running out half-way hands out nothing and keeps the position.
  ASSERT_EQ(e->Reset(), S_OK);
  TComAllocFaults::FailAfter(1);
  EXPECT_EQ(e->Next(3, out, &fetched), E_OUTOFMEMORY);
  TComAllocFaults::Reset();
  EXPECT_EQ(fetched, 0u);
  ASSERT_EQ(e->Next(1, out, &fetched), S_OK);
  EXPECT_EQ(WideToUtf8(out[0]), "a");
  CoTaskMemFree(out[0]);
  e.Reset();
  clone.Reset();
  EXPECT_EQ(ComOutstandingAllocations(), before);

  TComPtr<IEnumUnknown> none;
  ASSERT_EQ(MakeUnknownEnumerator({}, none.Put()), S_OK);
  IUnknown* unk = nullptr;
  EXPECT_EQ(none->Next(1, &unk, nullptr), S_FALSE);
  EXPECT_EQ(unk, nullptr);
}

TEST(ClassFactory, RefusesAggregationAndReportsTheCreatorsResult) {
  auto factory = MakeClassFactory<TEventSink>();
  auto outer = Make<TEventSink>();
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_ITestEvents, &p), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IStream, &p), E_NOINTERFACE);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_ITestEvents, nullptr), E_POINTER);
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITestEvents, &p), S_OK);
  static_cast<ITestEvents*>(p)->Release();
  const int64_t locks = ComServerLocks();
  factory->LockServer(TRUE);
  EXPECT_EQ(ComServerLocks(), locks + 1);
  factory->LockServer(FALSE);
  EXPECT_EQ(ComServerLocks(), locks);
}

}  // namespace
}  // namespace orvela
