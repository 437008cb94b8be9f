// The main component's resource operations: records, locations, attributes,
// properties, the update check and the ACLs of resources, all in the content
// store. Each is called by the request frame with the caller's principal and
// the decoded arguments in interface order.
#include "core/QuorServiceCore.h"

namespace quor::core {

Status CQuorServiceCore::PutVOResource(OpCall& c) {
  return Status(vo_->PutVOResource(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::PutVOResourcewithAttribute(OpCall& c) {
  const auto& a = c.args;
  return Status(
      vo_->PutVOResourcewithAttribute(c.principal, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], c.result));
}
Status CQuorServiceCore::RemoveVOResource(OpCall& c) {
  return Status(vo_->RemoveVOResource(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::GetVOResourceURI(OpCall& c) { return Status(vo_->GetVOResourceURI(c.args[0], c.result)); }
Status CQuorServiceCore::GetVOResourceURIList(OpCall& c) { return Status(vo_->GetVOResourceURIList(c.result)); }
Status CQuorServiceCore::GetVOResourceURL(OpCall& c) {
  return Status(vo_->GetVOResourceURL(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::UpdateVOResourceURL(OpCall& c) {
  return Status(vo_->UpdateVOResourceURL(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::UpdateVOResourceAttribute(OpCall& c) {
  const auto& a = c.args;
  return Status(vo_->UpdateVOResourceAttribute(c.principal, a[0], a[1], a[2], a[3], a[4], a[5], a[6], c.result));
}
Status CQuorServiceCore::RemoveVOResourceAttribute(OpCall& c) {
  const auto& a = c.args;
  return Status(vo_->RemoveVOResourceAttribute(c.principal, a[0], a[1], a[2], a[3], a[4], a[5], a[6], c.result));
}
Status CQuorServiceCore::UpdateVOResourceProps(OpCall& c) {
  return Status(vo_->UpdateVOResourceProps(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::GetVOResourceAttribute(OpCall& c) {
  return Status(vo_->GetVOResourceAttribute(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::GetVOResourceAttributeList(OpCall& c) {
  return Status(vo_->GetVOResourceAttributeList(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::GetVOResourceUpdate(OpCall& c) {
  return Status(vo_->GetVOResourceUpdate(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::GetAllVOResourceAttributeList(OpCall& c) {
  return Status(vo_->GetAllVOResourceAttributeList(c.principal, c.result));
}
Status CQuorServiceCore::GetVOResourceModuleNameList(OpCall& c) {
  return Status(vo_->GetVOResourceModuleNameList(c.principal, c.result));
}

// ---- Resource ACLs --------------------------------------------------------------------

Status CQuorServiceCore::GetResourceACL(OpCall& c) {
  return Status(vo_->GetResourceACL(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::GetResourceACLEntry(OpCall& c) {
  return Status(vo_->GetResourceACLEntry(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::PutResourceACL(OpCall& c) {
  return Status(vo_->PutResourceACL(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::PutResourceACLEntry(OpCall& c) {
  return Status(vo_->PutResourceACLEntry(c.principal, c.args[0], c.args[1], c.args[2], c.result));
}
Status CQuorServiceCore::UpdateResourceACL(OpCall& c) {
  return Status(vo_->UpdateResourceACL(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::UpdateResourceACLEntry(OpCall& c) {
  return Status(vo_->UpdateResourceACLEntry(c.principal, c.args[0], c.args[1], c.args[2], c.result));
}
Status CQuorServiceCore::DeleteResourceACL(OpCall& c) {
  return Status(vo_->DeleteResourceACL(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::DeleteResourceACLEntry(OpCall& c) {
  return Status(vo_->DeleteResourceACLEntry(c.principal, c.args[0], c.args[1], c.result));
}

}  // namespace quor::core
