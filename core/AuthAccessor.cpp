#include "core/AuthAccessor.h"

#include "auth/ids.h"
#include "auth/isession.h"
#include "core/QuorServiceUtils.h"
#include "core/StatusCodes.h"
#include "platform/com/classstore.h"
#include "platform/com/dispatch.h"
#include "platform/com/errorinfo.h"
#include "platform/text/text.h"

namespace quor::core {
namespace {

constexpr com::CLSID kAccountInfoClsid = com::Guid::Literal("{FAC78DF3-6FC3-4794-A2D1-6FB7466C67C3}");
constexpr com::IID kIAuthIid = com::Guid::Literal("{BF68A9A6-407B-494B-9847-1F4DE5682DC8}");
constexpr com::IID kIAccountInfoIid = com::Guid::Literal("{6379E219-E082-4FB0-B15E-9D40412B57E2}");

// The query attributes of the name-list searches: an array of two texts.
com::Variant NameAttributes() {
  com::SafeArray attributes(com::VT_VARIANT, com::SafeArray::Bound{0, 2});
  const int32_t first[] = {0}, second[] = {1};
  attributes.PutElement(first, com::Variant(com::Bstr(u"sAMAccountName")));
  attributes.PutElement(second, com::Variant(com::Bstr(u"objectClass")));
  return com::Variant(std::move(attributes));
}

// The component object asked for its interface, held as a dispatch pointer.
com::ComPtr<com::IDispatch> Create(const com::CLSID& clsid, const com::IID& iid) {
  com::ComPtr<com::IDispatch> object;
  void* raw = nullptr;
  if (SUCCEEDED(com::CoCreateInstance(clsid, nullptr, com::CLSCTX_INPROC_SERVER, iid, &raw)) && raw)
    object.Attach(static_cast<com::IDispatch*>(raw));
  return object;
}

Status Names(Status listed, const com::Variant& result, NameList& names) {
  if (!listed.ok()) return listed;
  QUOR_ASSIGN_OR_RETURN(names, CQuorServiceUtils::VariantToNameList(result));
  return listed;
}

}  // namespace

AuthAccessor::AuthAccessor() {
  auth_ = Create(auth::kAuthClsid, kIAuthIid);
  if (auth_) accountInfo_ = Create(kAccountInfoClsid, kIAccountInfoIid);

  if (!auth_ || !accountInfo_) return;
  com::Bstr configured;
  if (!CQuorServiceUtils::ReadRootContext(configured)) return;
  ready_ = true;
  com::Bstr current;
  if (GetRootContext(current).ok() && !current.Empty() && current == configured) return;
  if (!PutRootContext(configured).ok()) ready_ = false;
}

AuthAccessor::~AuthAccessor() {
  auth_.Reset();
  accountInfo_.Reset();
}

// The status keeps the component's code as it is: a success code other than
// S_OK too, which is then not ok.
Status AuthAccessor::Call(com::IDispatch* target, std::u16string_view name, uint16_t flags,
                          std::span<const com::Variant> args, com::Variant* result) {
  if (!target) return Status(QS_E_AUTH_SERVER_CONNECT_FAILED);
  com::ExcepInfo exception;
  com::ClearErrorInfo();
  HRESULT hr = com::InvokeByName(target, name, flags, args, result, &exception);
  if (hr == DISP_E_EXCEPTION) {
    hr = exception.scode != S_OK ? exception.scode : E_FAIL;
    // The component's text stays with the thread, as its raised error would.
    com::SetErrorInfo({com::GUID_NULL, exception.source, exception.description, hr, {}, 0});
  }
  return Status(hr);
}

Status AuthAccessor::CreateTicket(const com::Bstr& authority, const com::Bstr& realm, const com::Bstr& principal,
                                  const com::Bstr& credential, com::Bstr& fullPrincipal, com::Bstr& ticket) {
  fullPrincipal = com::Bstr();
  ticket = com::Bstr();
  com::Variant result;
  const com::Variant args[] = {com::Variant(authority), com::Variant(realm), com::Variant(principal),
                               com::Variant(credential), com::Variant::ByRef(&fullPrincipal)};
  const Status called = Call(auth_.Get(), u"CreateTicket", com::DISPATCH_METHOD, args, &result);
  if (called.ok() && result.Type() == com::VT_BSTR) ticket = result.GetBstr();
  return called;
}

Status AuthAccessor::OpenSession(const com::Bstr& service, const com::Bstr& ticket, const com::Bstr& tokenScheme,
                                 const com::Bstr& tokenSeed, com::Bstr& sessionKey, com::Bstr& verifier,
                                 com::Bstr& locator) {
  sessionKey = com::Bstr();
  verifier = com::Bstr();
  locator = com::Bstr();
  com::Variant result;
  const com::Variant args[] = {com::Variant(service),          com::Variant(ticket),
                               com::Variant(tokenScheme),      com::Variant(tokenSeed),
                               com::Variant::ByRef(&sessionKey), com::Variant::ByRef(&verifier)};
  const Status called = Call(auth_.Get(), u"OpenSession", com::DISPATCH_METHOD, args, &result);
  if (called.ok() && result.Type() == com::VT_BSTR) locator = result.GetBstr();
  return called;
}

Status AuthAccessor::CloseSession(const com::Bstr& sessionKey, const com::Bstr& verifier) {
  const com::Variant args[] = {com::Variant(sessionKey), com::Variant(verifier)};
  return Call(auth_.Get(), u"CloseSession", com::DISPATCH_METHOD, args, nullptr);
}

Status AuthAccessor::LookupSession(const com::Bstr& token, com::ComPtr<auth::ISession>& session) {
  session.Reset();
  com::Variant result;
  const com::Variant args[] = {com::Variant(token)};
  const Status called = Call(auth_.Get(), u"LookupSession", com::DISPATCH_METHOD, args, &result);
  if (!called.ok()) return called;
  com::IUnknown* object = result.Type() == com::VT_DISPATCH || result.Type() == com::VT_UNKNOWN ? result.Unknown() : nullptr;
  if (!object) return Status();
  void* raw = nullptr;
  const HRESULT query = object->QueryInterface(auth::ISession::kIid, &raw);
  if (query == E_NOINTERFACE) return Status();
  if (FAILED(query)) return Status(query);
  session.Attach(static_cast<auth::ISession*>(raw));
  return Status();
}

Status AuthAccessor::GetRootContext(com::Bstr& context) {
  context = com::Bstr();
  com::Variant result;
  const Status called = Call(accountInfo_.Get(), u"RootContext", com::DISPATCH_PROPERTYGET, {}, &result);
  if (called.ok() && result.Type() == com::VT_BSTR) context = result.GetBstr();
  return called;
}

Status AuthAccessor::PutRootContext(const com::Bstr& context) {
  const com::Variant args[] = {com::Variant(context)};
  return Call(accountInfo_.Get(), u"RootContext", com::DISPATCH_PROPERTYPUT, args, nullptr);
}

Status AuthAccessor::GetAccountType(const com::Bstr& account, com::Bstr& type) {
  type = com::Bstr();
  com::Variant result;
  const com::Variant args[] = {com::Variant(account)};
  const Status called = Call(accountInfo_.Get(), u"GetAccountType", com::DISPATCH_METHOD, args, &result);
  if (called.ok() && result.Type() == com::VT_BSTR) type = result.GetBstr();
  return called;
}

Status AuthAccessor::ListMember(const com::Bstr& group, int32_t accountType, const com::Variant& attributes,
                                int32_t depth, int32_t ordering, com::Variant& members) {
  members.Clear();
  const com::Variant args[] = {com::Variant(group), com::Variant(accountType), attributes, com::Variant(depth),
                               com::Variant(ordering)};
  return Call(accountInfo_.Get(), u"ListMember", com::DISPATCH_METHOD, args, &members);
}

Status AuthAccessor::ListGroup(const com::Bstr& account, const com::Variant& attributes, int32_t depth,
                               int32_t ordering, com::Variant& groups) {
  groups.Clear();
  const com::Variant args[] = {com::Variant(account), attributes, com::Variant(depth), com::Variant(ordering)};
  return Call(accountInfo_.Get(), u"ListGroup", com::DISPATCH_METHOD, args, &groups);
}

Status AuthAccessor::Lookup(const com::Bstr& pattern, int32_t accountType, const com::Variant& attributes,
                            int32_t ordering, com::Variant& accounts) {
  accounts.Clear();
  const com::Variant args[] = {com::Variant(pattern), com::Variant(accountType), attributes, com::Variant(ordering)};
  return Call(accountInfo_.Get(), u"Lookup", com::DISPATCH_METHOD, args, &accounts);
}

Status AuthAccessor::IsMember(const com::Bstr& group, const com::Bstr& account, int32_t depth, int16_t& isMember) {
  isMember = 0;
  com::Variant result;
  const com::Variant args[] = {com::Variant(group), com::Variant(account), com::Variant(depth)};
  const Status called = Call(accountInfo_.Get(), u"IsMember", com::DISPATCH_METHOD, args, &result);
  bool truth = false;
  if (called.ok() && SUCCEEDED(result.ToBool(truth))) isMember = truth ? -1 : 0;
  return called;
}

Status AuthAccessor::ListGroupMembers(const com::Bstr& group, int32_t depth, int32_t ordering, NameList& names) {
  com::Variant result;
  return Names(ListMember(group, ACCOUNT_USER, NameAttributes(), depth, ordering, result), result, names);
}

Status AuthAccessor::ListAllGroups(int32_t ordering, NameList& names) {
  com::Variant result;
  return Names(Lookup(com::Bstr(u"*"), ACCOUNT_GROUP, NameAttributes(), ordering, result), result, names);
}

Status AuthAccessor::ListGroupsOf(const com::Bstr& account, int32_t ordering, NameList& names) {
  com::Variant result;
  return Names(ListGroup(account, NameAttributes(), -1, ordering, result), result, names);
}

bool AuthAccessor::IsGroup(const com::Bstr& name) {
  com::Bstr type;
  return GetAccountType(name, type).ok() && text::EqualsNoCase(type.View(), std::u16string_view(u"Group"));
}

}  // namespace quor::core
