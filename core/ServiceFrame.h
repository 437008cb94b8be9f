// What the request frame of both endpoints is made with: the module hands it
// in when it constructs an endpoint, so nothing below the frame asks the
// module for it.
#pragma once

#include "core/AuthAccessor.h"
#include "core/ServiceConfig.h"

namespace quor::core {

class CCollabDBConnectImpl;
class CDBConnect;
class CEventLogWriter;
class CQuerySettings;
class CQuorServiceUtils;
class CResumeQueue;
class CSignInCounts;
class CVODBConnectImpl;

// Everything here outlives the endpoints made with it.
struct FrameContext {
  // The settings read at start-up (registry values; never changed after).
  const CServiceConfig& settings;
  CQuorServiceUtils& utils;
  CEventLogWriter& eventLog;
  AuthAccessor* auth;  // null when it could not be made
  // The repository's connection; a call leases it for its thread.
  CDBConnect* connection;
  CCollabDBConnectImpl& collab;
  CVODBConnectImpl& vo;
  CResumeQueue& resume;
  // Failed sign-ins counted for the whole service.
  CSignInCounts& signIns;
  // The query configuration in force, swapped whole by a reload.
  CQuerySettings& querySettings;
};

}  // namespace quor::core
