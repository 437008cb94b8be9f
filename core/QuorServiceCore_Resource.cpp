// The main component's resource operations: records, locations, attributes,
// properties, the update check and the ACLs of resources, all in the content
// store. Each is called by the request frame with the caller's principal and
// the decoded arguments in interface order.
#include "core/QuorServiceCore.h"

namespace quor::core {

HRESULT CQuorServiceCore::PutVOResource(OpCall& c) { return vo_->PutVOResource(c.principal, c.args[0], c.result); }
HRESULT CQuorServiceCore::PutVOResourcewithAttribute(OpCall& c) {
  const auto& a = c.args;
  return vo_->PutVOResourcewithAttribute(c.principal, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], c.result);
}
HRESULT CQuorServiceCore::RemoveVOResource(OpCall& c) {
  return vo_->RemoveVOResource(c.principal, c.args[0], c.result);
}
HRESULT CQuorServiceCore::GetVOResourceURI(OpCall& c) { return vo_->GetVOResourceURI(c.args[0], c.result); }
HRESULT CQuorServiceCore::GetVOResourceURIList(OpCall& c) { return vo_->GetVOResourceURIList(c.result); }
HRESULT CQuorServiceCore::GetVOResourceURL(OpCall& c) {
  return vo_->GetVOResourceURL(c.principal, c.args[0], c.result);
}
HRESULT CQuorServiceCore::UpdateVOResourceURL(OpCall& c) {
  return vo_->UpdateVOResourceURL(c.principal, c.args[0], c.args[1], c.result);
}
HRESULT CQuorServiceCore::UpdateVOResourceAttribute(OpCall& c) {
  const auto& a = c.args;
  return vo_->UpdateVOResourceAttribute(c.principal, a[0], a[1], a[2], a[3], a[4], a[5], a[6], c.result);
}
HRESULT CQuorServiceCore::RemoveVOResourceAttribute(OpCall& c) {
  const auto& a = c.args;
  return vo_->RemoveVOResourceAttribute(c.principal, a[0], a[1], a[2], a[3], a[4], a[5], a[6], c.result);
}
HRESULT CQuorServiceCore::UpdateVOResourceProps(OpCall& c) {
  return vo_->UpdateVOResourceProps(c.principal, c.args[0], c.args[1], c.result);
}
HRESULT CQuorServiceCore::GetVOResourceAttribute(OpCall& c) {
  return vo_->GetVOResourceAttribute(c.principal, c.args[0], c.result);
}
HRESULT CQuorServiceCore::GetVOResourceAttributeList(OpCall& c) {
  return vo_->GetVOResourceAttributeList(c.principal, c.args[0], c.result);
}
HRESULT CQuorServiceCore::GetVOResourceUpdate(OpCall& c) {
  return vo_->GetVOResourceUpdate(c.principal, c.args[0], c.result);
}
HRESULT CQuorServiceCore::GetAllVOResourceAttributeList(OpCall& c) {
  return vo_->GetAllVOResourceAttributeList(c.principal, c.result);
}
HRESULT CQuorServiceCore::GetVOResourceModuleNameList(OpCall& c) {
  return vo_->GetVOResourceModuleNameList(c.principal, c.result);
}

// ---- Resource ACLs --------------------------------------------------------------------

HRESULT CQuorServiceCore::GetResourceACL(OpCall& c) { return vo_->GetResourceACL(c.principal, c.args[0], c.result); }
HRESULT CQuorServiceCore::GetResourceACLEntry(OpCall& c) {
  return vo_->GetResourceACLEntry(c.principal, c.args[0], c.args[1], c.result);
}
HRESULT CQuorServiceCore::PutResourceACL(OpCall& c) {
  return vo_->PutResourceACL(c.principal, c.args[0], c.args[1], c.result);
}
HRESULT CQuorServiceCore::PutResourceACLEntry(OpCall& c) {
  return vo_->PutResourceACLEntry(c.principal, c.args[0], c.args[1], c.args[2], c.result);
}
HRESULT CQuorServiceCore::UpdateResourceACL(OpCall& c) {
  return vo_->UpdateResourceACL(c.principal, c.args[0], c.args[1], c.result);
}
HRESULT CQuorServiceCore::UpdateResourceACLEntry(OpCall& c) {
  return vo_->UpdateResourceACLEntry(c.principal, c.args[0], c.args[1], c.args[2], c.result);
}
HRESULT CQuorServiceCore::DeleteResourceACL(OpCall& c) {
  return vo_->DeleteResourceACL(c.principal, c.args[0], c.result);
}
HRESULT CQuorServiceCore::DeleteResourceACLEntry(OpCall& c) {
  return vo_->DeleteResourceACLEntry(c.principal, c.args[0], c.args[1], c.result);
}

}  // namespace quor::core
