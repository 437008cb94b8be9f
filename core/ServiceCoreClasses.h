// The service core's two component classes. Their operations join them with
// the request frame and the stores; until then they answer only the runtime's
// own interfaces.
#pragma once

#include <span>

#include "platform/com/dispatch.h"

namespace quor::core {

inline constexpr com::CLSID CLSID_QuorServiceCore = com::Guid::Literal("{5A0C3E61-2B7D-4E8F-9C1A-3D5B7F9E1C20}");
inline constexpr com::CLSID CLSID_QuorServiceCoreAdmin = com::Guid::Literal("{5A0C3E62-2B7D-4E8F-9C1A-3D5B7F9E1C20}");

struct IQuorServiceCore : com::IDispatch {
  QUOR_COM_INTERFACE(com::IDispatch, "{7C1E4A20-6F3B-4D59-8E2A-1B9C0D7E6F31}");
};

struct IQuorServiceCoreAdmin : com::IDispatch {
  QUOR_COM_INTERFACE(com::IDispatch, "{7C1E4A21-6F3B-4D59-8E2A-1B9C0D7E6F31}");
};

class QuorServiceCore : public com::DispatchObject<QuorServiceCore, IQuorServiceCore> {
 public:
  static std::span<const com::DispatchEntry<QuorServiceCore>> DispatchTable() { return {}; }
};

class QuorServiceCoreAdmin : public com::DispatchObject<QuorServiceCoreAdmin, IQuorServiceCoreAdmin> {
 public:
  static std::span<const com::DispatchEntry<QuorServiceCoreAdmin>> DispatchTable() { return {}; }
};

}  // namespace quor::core
