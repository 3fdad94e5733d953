#pragma once
// Texts of the DA server's result codes: its own table first, then the system's message text.
#include <string>

#include "platform/com/ComTypes.h"

namespace orvela {

// The text of code (UTF-16); empty when neither the table nor the system knows it.
std::u16string DaErrorText(HRESULT code);

}  // namespace orvela
