// The main component's operations on Vesk objects: their content by name or
// by URN, their locks, the lists of objects and the administration of their
// URNs. Each is called by the request frame with the caller's principal and
// the decoded arguments in interface order.
#include "core/QuorServiceCore.h"

namespace quor::core {

// ---- Content ------------------------------------------------------------------------------

Status CQuorServiceCore::GetVOContent(OpCall& c) {
  return Status(vo_->GetVOContent(c.principal, c.args[0], c.result, c.stream));
}
Status CQuorServiceCore::GetVOContentbyURI(OpCall& c) {
  return Status(vo_->GetVOContentbyURI(c.principal, c.args[0], c.result, c.stream));
}
Status CQuorServiceCore::PutVOContent(OpCall& c) {
  return Status(vo_->PutVOContent(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::UpdateVOContent(OpCall& c) {
  return Status(vo_->UpdateVOContentA(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::UpdateVOContentbyURI(OpCall& c) {
  return Status(vo_->UpdateVOContentbyURI(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::RemoveVOContent(OpCall& c) {
  return Status(vo_->RemoveVOContent(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::RemoveVOContentbyURI(OpCall& c) {
  return Status(vo_->RemoveVOContentbyURI(c.principal, c.args[0], c.result));
}

// ---- Content with locks ---------------------------------------------------------------------

Status CQuorServiceCore::GetVOContentwithLock(OpCall& c) {
  return Status(vo_->GetVOContentwithLock(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::GetVOContentbyURIwithLock(OpCall& c) {
  return Status(vo_->GetVOContentbyURIwithLock(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::UpdateVOContentwithUnlock(OpCall& c) {
  return Status(vo_->UpdateVOContentwithUnlock(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::UpdateVOContentbyURIwithUnlock(OpCall& c) {
  return Status(vo_->UpdateVOContentbyURIwithUnlock(c.principal, c.args[0], c.args[1], c.result));
}

// ---- Lists and URNs ---------------------------------------------------------------------------

Status CQuorServiceCore::GetVOList(OpCall& c) { return Status(vo_->GetVOList(c.principal, c.result)); }
Status CQuorServiceCore::GetVOURIList(OpCall& c) { return Status(vo_->GetVOURIList(c.principal, c.result)); }
Status CQuorServiceCore::GetVOURI(OpCall& c) {
  return Status(vo_->GetVOURI(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::GetVOAttribute(OpCall& c) {
  return Status(vo_->GetVOAttribute(c.principal, c.args[0], c.result));
}
Status CQuorServiceCore::PutVOURI(OpCall& c) {
  return Status(vo_->PutVOURI(c.principal, c.args[0], c.args[1], c.result));
}
Status CQuorServiceCore::RemoveVOURI(OpCall& c) { return Status(vo_->RemoveVOURI(c.principal, c.args[0], c.result)); }
// The frame has let only administrators through.
Status CQuorServiceCore::GetAllVOList(OpCall& c) { return Status(vo_->GetVOListAll(c.result)); }
Status CQuorServiceCore::GetAllVOURIList(OpCall& c) { return Status(vo_->GetVOURIListAll(c.result)); }
Status CQuorServiceCore::GetAllVOUserList(OpCall& c) { return Status(vo_->GetVOUserListAll(c.result)); }

}  // namespace quor::core
