#include "core/QuorServiceUtils.h"

#include "core/ServiceConfig.h"
#include "platform/text/text.h"

namespace quor::core {

// ---- Event log ------------------------------------------------------------------

CEventLogWriter::CEventLogWriter() : Source("QuorServiceCore"), Level(1) {}

int32_t CEventLogWriter::WriteEvent(uint16_t type, uint32_t eventId, std::string_view text) {
  if (Source.empty()) return 0;
  const auto kind = type == 1   ? eventlog::EventType::Error
                    : type == 2 ? eventlog::EventType::Warning
                                : eventlog::EventType::Information;
  eventlog::EventSource(Source).Report(kind, eventId, {std::string(text)});
  return 1;
}

void CEventLogWriter::ReportError(uint32_t eventId, std::string_view text) {
  if (Level >= 1) WriteEvent(1, eventId, text);
}

// ---- Utilities object -------------------------------------------------------------

CQuorServiceUtils::CQuorServiceUtils(const CServiceConfig& settings, AuthAccessor* auth)
    : settings_(settings), auth_(auth) {
  EventLog.Source = "QuorService";
  EventLog.Level = 4;
}

CQuorServiceUtils::~CQuorServiceUtils() = default;

bool CQuorServiceUtils::ReadRootContext(com::Bstr& context) {
  context = com::Bstr();
  std::string value;
  if (!ReadServiceString(kServiceKey, "RootContext", value) || value.empty()) return false;
  context = com::Bstr::FromUtf8(value);
  return true;
}

int32_t CQuorServiceUtils::GetCompressThreshold() const {
  return settings_.CompressThreshold;
}

}  // namespace quor::core
