// The document the accessor answers in place of a result when a query fails,
// and the text that describes a status in it.
#pragma once

#include <string>

#include "accessor/status.h"

namespace quor::accessor {

// The description of `code`: the system's message for a platform error, a
// fixed form for the database range, the accessor's own text for its own
// codes, and a fixed form for anything else.
std::string FaultDescription(HRESULT code);

// "<fault><faultactor>ILegacyDBAccessor</faultactor><detail><ErrorInfo>
// <number>..</number><description>..</description></ErrorInfo></detail>
// </fault>" without white space, the number signed decimal. Built as text,
// so it can be answered whatever else has failed.
std::string CreateLegacyDBFaultResult(HRESULT code);

}  // namespace quor::accessor
