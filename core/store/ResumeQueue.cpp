// The resume queue.
//
// Argument layouts, by operation (positions from 0):
//   ForcePutShareField               4: field, user, name, author
//   ForcePutVOContent                3: content, name, user
//   ForcePutVOResource               2: name, user
//   ForcePutVOResourcewithAttribute 10: props, urlleaf, description, id, type,
//                                       version, creator, modulename, name, user
#include "core/store/ResumeQueue.h"

#include <algorithm>

#include "core/KeywordTable.h"
#include "core/ServiceHelpers.h"
#include "core/StatusCodes.h"
#include "core/store/CollabDBConnectImpl.h"
#include "core/store/VODBConnectImpl.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"

namespace quor::core {
namespace {

struct Layout {
  size_t user;
  size_t name;
};

std::optional<Layout> LayoutOf(size_t count) {
  switch (count) {
    case 4:
      return Layout{1, 2};
    case 3:
      return Layout{2, 1};
    case 2:
      return Layout{1, 0};
    case 10:
      return Layout{9, 8};
    default:
      return std::nullopt;
  }
}

bool Given(const com::Bstr& text) { return !text.IsNull() && !text.Empty(); }

}  // namespace

Caller CResumeQueue::Resolve(const com::Bstr& user) const {
  if (resolve_) return resolve_(user);
  Caller caller;
  caller.name = user;
  return caller;
}

const com::Bstr* ResumeEntry::User() const {
  const auto layout = LayoutOf(arguments.size());
  return layout ? &arguments[layout->user] : nullptr;
}

const com::Bstr* ResumeEntry::Name() const {
  const auto layout = LayoutOf(arguments.size());
  return layout ? &arguments[layout->name] : nullptr;
}

com::Bstr CResumeQueue::MakeResumeKey(std::u16string_view operation, std::vector<com::Bstr> arguments) {
  MutexLock lock(mutex_);
  ResumeEntry entry;
  entry.number = nextNumber_++;
  entry.key = com::Bstr::FromUtf8(text::Format("RESUME:%d", entry.number));
  entry.operation = com::Bstr(operation);
  entry.arguments = std::move(arguments);
  com::Bstr key = entry.key;
  queue_.push_back(std::move(entry));
  return key;
}

std::optional<ResumeEntry> CResumeQueue::FindResumeEntry(const com::Bstr& key) const {
  MutexLock lock(mutex_);
  for (const auto& entry : queue_)
    if (entry.key.View() == key.View()) return entry;
  return std::nullopt;
}
Status CResumeQueue::ReplayResumeEntry(const Caller& caller, const com::Bstr& resumeID, const com::Bstr& flag,
                                         com::Bstr& result, CCollabDBConnectImpl& collab) {
  ResumeEntry entry;
  {
    MutexLock lock(mutex_);
    const auto found = std::find_if(queue_.begin(), queue_.end(),
                                    [&](const auto& e) { return e.key.View() == resumeID.View(); });
    if (found == queue_.end()) return Status(QS_E_RESUME_ID_NOT_AVAILABLE);
    // Someone else's entry is not there for this caller.
    const com::Bstr* owner = found->User();
    if (!caller.administrator && (!owner || owner->View() != caller.name.View()))
      return Status(QS_E_RESUME_ID_NOT_AVAILABLE);
    entry = std::move(*found);
    queue_.erase(found);
  }

  if (!text::EqualsNoCase(flag.View(), u"TRUE")) {
    result = CServiceHelpers::FormatResultCode(0);
    return Status();
  }
  const auto& args = entry.arguments;
  const auto& name = entry.operation.View();
  // The put runs as the entry's own user, whoever replays it.
  const auto as = [this](const com::Bstr& user) { return Resolve(user); };
  if (name == u"ForcePutShareField" && args.size() == 4)
    return collab.ForcePutShareField(as(args[1]), args[3], args[2], args[0], result);
  if (name == u"ForcePutVOContent" && args.size() == 3) {
    // A store of its own for the replay, over the shared connection.
    CVODBConnectImpl replay(collab.Connection());
    QUOR_RETURN_IF_ERROR(replay.Init());
    return replay.ForcePutVOContent(as(args[2]), args[1], args[0], result);
  }
  if (name == u"ForcePutVOResource" && args.size() == 2) {
    CVODBConnectImpl replay(collab.Connection());
    QUOR_RETURN_IF_ERROR(replay.Init());
    return replay.ForcePutVOResource(as(args[1]), args[0], result);
  }
  if (name == u"ForcePutVOResourcewithAttribute" && args.size() == 10) {
    CVODBConnectImpl replay(collab.Connection());
    QUOR_RETURN_IF_ERROR(replay.Init());
    return replay.ForcePutVOResourcewithAttribute(as(args[9]), args[8], args[7], args[6], args[5], args[4], args[3],
                                                  args[2], args[1], args[0], result);
  }
  return Status(QS_E_QUEUE_ENTRY_UNRECOGNIZED);
}

Status CResumeQueue::GetResumeIDList(const com::Bstr& user, const com::Bstr& name, com::Bstr& result) const {
  MutexLock lock(mutex_);
  if (queue_.empty()) {
    result = com::Bstr(u"<root></root>");
    return Status();
  }
  const auto& kw = CKeywordTable::Instance();
  auto document = xml::Document::Create();
  auto root = document->createElement(kw.Narrow(KW_ROOT));
  const auto add = [&](const xml::NodePtr& parent, KeywordIndex element, const com::Bstr& value) {
    auto node = document->createElement(kw.Narrow(element));
    node->setText(value.ToUtf8());
    parent->appendChild(node);
  };
  for (const auto& entry : queue_) {
    const com::Bstr* entryUser = entry.User();
    const com::Bstr* entryName = entry.Name();
    if (!entryUser || !entryName) continue;
    bool selected;
    if (Given(user))
      selected = entryUser->View() == user.View() && (!Given(name) || entryName->View() == name.View());
    else
      selected = Given(name) && entryName->View() == name.View();
    if (!selected) continue;
    auto item = document->createElement(kw.Narrow(KW_RESUMELIST));
    add(item, KW_RESUMEID, entry.key);
    add(item, KW_METHOD, entry.operation);
    add(item, KW_NAME, *entryName);
    root->appendChild(item);
  }
  result = com::Bstr::FromUtf8(root->xml());
  return Status();
}

}  // namespace quor::core
