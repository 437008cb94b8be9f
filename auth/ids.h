// Identifiers of the authentication service's component classes and
// interfaces, shared with the service core, which binds to them by class
// identifier.
#pragma once

#include <string_view>

#include "platform/com/guid.h"

namespace quor::auth {

inline constexpr com::CLSID kAuthClsid = com::Guid::Literal("{FF30DCCA-8886-4908-903A-1C036A1B8662}");
inline constexpr std::string_view kAuthProgId = "QuorAuth.Auth.1";
inline constexpr std::string_view kAuthVersionIndependentProgId = "QuorAuth.Auth";
inline constexpr com::IID kIAuthIid = com::Guid::Literal("{BF68A9A6-407B-494B-9847-1F4DE5682DC8}");
inline constexpr std::string_view kAuthDescription = "Auth Class";
inline constexpr com::Guid kAuthTypeLibrary = com::Guid::Literal("{121E0AF2-C046-44CA-A49C-A0C74BCF958E}");

inline constexpr com::CLSID kSessionClsid = com::Guid::Literal("{6B77E951-8438-4EFA-A3E8-1B8585879871}");
inline constexpr std::string_view kSessionProgId = "QuorAuth.Session.1";
inline constexpr std::string_view kSessionVersionIndependentProgId = "QuorAuth.Session";
inline constexpr std::string_view kSessionDescription = "Session Class";

inline constexpr com::CLSID kAccountInfoClsid = com::Guid::Literal("{FAC78DF3-6FC3-4794-A2D1-6FB7466C67C3}");
inline constexpr std::string_view kAccountInfoProgId = "QuorAuth.AccountInfo.1";
inline constexpr std::string_view kAccountInfoVersionIndependentProgId = "QuorAuth.AccountInfo";
inline constexpr std::string_view kAccountInfoDescription = "AccountInfo Class";
inline constexpr com::IID kIAccountInfoIid = com::Guid::Literal("{6379E219-E082-4FB0-B15E-9D40412B57E2}");

}  // namespace quor::auth
