// The main component's operations on Vesk objects: their content by name or
// by URN, their locks, the lists of objects and the administration of their
// URNs. Each is called by the request frame with the caller's principal and
// the decoded arguments in interface order.
#include "core/QuorServiceCore.h"

namespace quor::core {

// ---- Content ------------------------------------------------------------------------------

HRESULT CQuorServiceCore::GetVOContent(OpCall& c) { return vo_->GetVOContent(c.principal, c.args[0], c.result); }
HRESULT CQuorServiceCore::GetVOContentbyURI(OpCall& c) {
  return vo_->GetVOContentbyURI(c.principal, c.args[0], c.result);
}
HRESULT CQuorServiceCore::PutVOContent(OpCall& c) {
  return vo_->PutVOContent(c.principal, c.args[0], c.args[1], c.result);
}
HRESULT CQuorServiceCore::UpdateVOContent(OpCall& c) {
  return vo_->UpdateVOContentA(c.principal, c.args[0], c.args[1], c.result);
}
HRESULT CQuorServiceCore::UpdateVOContentbyURI(OpCall& c) {
  return vo_->UpdateVOContentbyURI(c.principal, c.args[0], c.args[1], c.result);
}
HRESULT CQuorServiceCore::RemoveVOContent(OpCall& c) { return vo_->RemoveVOContent(c.principal, c.args[0], c.result); }
HRESULT CQuorServiceCore::RemoveVOContentbyURI(OpCall& c) {
  return vo_->RemoveVOContentbyURI(c.principal, c.args[0], c.result);
}

// ---- Content with locks ---------------------------------------------------------------------

HRESULT CQuorServiceCore::GetVOContentwithLock(OpCall& c) {
  return vo_->GetVOContentwithLock(c.principal, c.args[0], c.result);
}
HRESULT CQuorServiceCore::GetVOContentbyURIwithLock(OpCall& c) {
  return vo_->GetVOContentbyURIwithLock(c.principal, c.args[0], c.result);
}
HRESULT CQuorServiceCore::UpdateVOContentwithUnlock(OpCall& c) {
  return vo_->UpdateVOContentwithUnlock(c.principal, c.args[0], c.args[1], c.result);
}
HRESULT CQuorServiceCore::UpdateVOContentbyURIwithUnlock(OpCall& c) {
  return vo_->UpdateVOContentbyURIwithUnlock(c.principal, c.args[0], c.args[1], c.result);
}

// ---- Lists and URNs ---------------------------------------------------------------------------

HRESULT CQuorServiceCore::GetVOList(OpCall& c) { return vo_->GetVOList(c.principal, c.result); }
HRESULT CQuorServiceCore::GetVOURIList(OpCall& c) { return vo_->GetVOURIList(c.principal, c.result); }
HRESULT CQuorServiceCore::GetVOURI(OpCall& c) { return vo_->GetVOURI(c.principal, c.args[0], c.args[1], c.result); }
HRESULT CQuorServiceCore::GetVOAttribute(OpCall& c) { return vo_->GetVOAttribute(c.principal, c.args[0], c.result); }
HRESULT CQuorServiceCore::PutVOURI(OpCall& c) { return vo_->PutVOURI(c.principal, c.args[0], c.args[1], c.result); }
HRESULT CQuorServiceCore::RemoveVOURI(OpCall& c) { return vo_->RemoveVOURI(c.principal, c.args[0], c.result); }
// The frame has let only administrators through.
HRESULT CQuorServiceCore::GetAllVOList(OpCall& c) { return vo_->GetVOListAll(c.result); }
HRESULT CQuorServiceCore::GetAllVOURIList(OpCall& c) { return vo_->GetVOURIListAll(c.result); }
HRESULT CQuorServiceCore::GetAllVOUserList(OpCall& c) { return vo_->GetVOUserListAll(c.result); }

}  // namespace quor::core
