#pragma once
// The DA server's own class and interface ids (type library "Velkor") and its two method-less
// interfaces: the server's automation interface and the group's own interface.
#include "platform/com/ComInterfaces.h"

// The DA2 coclass: the DA server's CLSID.
extern const CLSID CLSID_OrvelaDA;
extern const IID IID_IDA2;
extern const IID IID_DA2Unknown;
extern const CLSID CLSID_OPCGroup;
extern const IID IID_IOPCGroup;
// The type library itself.
extern const GUID LIBID_Velkor;

// Dual interface of the server object: IDispatch only.
struct IDA2 : IDispatch {};
// The group's type-library interface: no methods.
struct IOPCGroup : IUnknown {};

namespace orvela {
template <>
struct TInterfaceInfo<::IDA2> {
  static constexpr const IID& iid = IID_IDA2;
  using Base = ::IDispatch;
};
template <>
struct TInterfaceInfo<::IOPCGroup> {
  static constexpr const IID& iid = IID_IOPCGroup;
  using Base = ::IUnknown;
};
}  // namespace orvela
