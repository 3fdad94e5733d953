#pragma once
// The HDA server class's fixed identity.
#include "platform/com/ComTypes.h"

namespace orvela {

// {6B1E3F52-9C4D-4E7A-B8D1-2F5A0C9E7D31}
inline constexpr CLSID kOrvelaHdaClsid{
    0x6B1E3F52, 0x9C4D, 0x4E7A, {0xB8, 0xD1, 0x2F, 0x5A, 0x0C, 0x9E, 0x7D, 0x31}};

}  // namespace orvela
