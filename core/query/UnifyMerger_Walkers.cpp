// The walkers that descend one or two partial results to their tables and
// hand the tables, pair by pair, to JoinTables.
#include "core/query/UnifyMerger.h"

#include <new>

#include "core/KeywordTable.h"
#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"
#include "platform/com/errorinfo.h"

namespace quor::core {
namespace {

std::string_view Kw(int index) { return CKeywordTable::Instance().Narrow(index); }

bool IsResponse(const xml::NodePtr& node) {
  return node && node->nodeType() == xml::NodeType::Element && node->nodeName() == Kw(KW_RESPONSE);
}

// `node` when it is a "response" element, else the first one among its
// following siblings. Comments and other elements between responses carry
// no tables; stepping over them keeps a trailing comment from emptying a
// result or shifting which responses pair up.
xml::NodePtr ResponseFrom(xml::NodePtr node) {
  while (node && !IsResponse(node)) node = node->nextSibling();
  return node;
}

xml::NodePtr NextResponse(const xml::NodePtr& response) { return ResponseFrom(response->nextSibling()); }

// Tables are elements; comments and text inside a response are not paired.
xml::NodePtr ElementFrom(xml::NodePtr node) {
  while (node && node->nodeType() != xml::NodeType::Element) node = node->nextSibling();
  return node;
}

xml::NodePtr NextElement(const xml::NodePtr& node) { return ElementFrom(node->nextSibling()); }

// A scratch document for the node walkers to build in.
xml::DocumentPtr NewScratchDocument(HRESULT& status) {
  try {
    auto document = xml::Document::Create();
    status = document ? S_OK : E_OUTOFMEMORY;
    return document;
  } catch (const std::bad_alloc&) {
    status = E_OUTOFMEMORY;
    return nullptr;
  }
}

// Only an element can take a result of several tables; a document node or a
// text node would refuse part of it after taking the rest.
bool CanTakeNodes(const xml::NodePtr& target) { return target->nodeType() == xml::NodeType::Element; }

// A document holds one element at most.
bool CanTakeElement(const xml::DocumentPtr& output) { return !output->documentElement(); }

}  // namespace

// ---- Entries ----------------------------------------------------------------

HRESULT CUnifyMerger::Merge(const xml::NodePtr& left, const xml::NodePtr& right, const xml::NodePtr& target) {
  if (!left && !right) return E_POINTER;
  if (left && right) return MergeTwo(left, right, target);
  return MergeOne(left ? left : right, target);
}

HRESULT CUnifyMerger::MergeDocuments(const xml::DocumentPtr& first, const xml::DocumentPtr& second,
                                     const xml::DocumentPtr& output) {
  if (!first && !second) return E_POINTER;
  if (first && second) return MergeTwoDocuments(first, second, output);
  return MergeOneDocument(first ? first : second, output);
}

// ---- Two inputs -------------------------------------------------------------

xml::NodePtr CUnifyMerger::WalkTwo(const xml::DocumentPtr& factory, const xml::NodePtr& first,
                                   const xml::NodePtr& second) {
  auto a = ResponseFrom(first);
  auto b = ResponseFrom(second);
  if (!a || !b) return nullptr;
  // Every pair's response goes into the first one: the joined tables of the
  // later pairs and copies of the tables of unpaired responses, in order.
  auto merged = JoinResponses(factory, a, b);
  for (a = NextResponse(a), b = NextResponse(b); a && b; a = NextResponse(a), b = NextResponse(b)) {
    const auto joined = JoinResponses(factory, a, b);
    while (const auto table = joined->firstChild()) Append(merged, table);
  }
  for (const auto& rest : {a, b})
    for (auto response = rest; response; response = NextResponse(response))
      for (auto table = ElementFrom(response->firstChild()); table; table = NextElement(table))
        Append(merged, CopyXmlTree(table));
  return merged;
}

HRESULT CUnifyMerger::MergeTwo(const xml::NodePtr& left, const xml::NodePtr& right, const xml::NodePtr& target) {
  if (!left || !right || !target) return E_POINTER;
  if (!CanTakeNodes(target)) return E_INVALIDARG;
  HRESULT status = S_OK;
  const auto scratch = NewScratchDocument(status);
  if (FAILED(status)) return status;
  const auto merged = WalkTwo(scratch, left, right);
  if (!merged) return QS_E_UNIFICATION_SOURCE_INVALID;
  while (const auto table = merged->firstChild()) Append(target, table);
  return S_OK;
}

HRESULT CUnifyMerger::MergeTwoDocuments(const xml::DocumentPtr& first, const xml::DocumentPtr& second,
                                        const xml::DocumentPtr& output) {
  if (!first || !second || !output) return E_POINTER;
  if (!CanTakeElement(output)) return E_INVALIDARG;
  const auto merged = WalkTwo(output, first->firstChild(), second->firstChild());
  if (!merged) return QS_E_UNIFICATION_SOURCE_INVALID;
  Append(output, merged);
  return S_OK;
}

// ---- One input --------------------------------------------------------------

CUnifyMerger::WalkResult CUnifyMerger::WalkOne(const xml::DocumentPtr& factory, const xml::NodePtr& input) {
  WalkResult result;
  const auto response = ResponseFrom(input);
  if (!response) {
    result.status = QS_E_UNIFICATION_SOURCE_INVALID;
    return result;
  }

  // Several responses: joined one after the other.
  if (auto next = NextResponse(response)) {
    auto joined = JoinResponses(factory, response, next);
    for (auto more = NextResponse(next); more; more = NextResponse(more)) joined = JoinResponses(factory, joined, more);
    result.node = joined;
    result.isResponse = true;
    return result;
  }

  // One response: its tables joined one after the other. Children without
  // children hold no records and are passed over, but a response of empty
  // tables still answers its first table rather than nothing.
  xml::NodePtr first;
  for (auto child = response->firstChild(); child && !first; child = child->nextSibling())
    if (child->hasChildNodes()) first = child;
  if (!first)
    for (auto child = response->firstChild(); child && !first; child = child->nextSibling())
      if (IsElementNamed(child, Kw(KW_TABLE))) first = child;
  if (!first) return result;

  xml::NodePtr joined = first;
  for (auto table = first->nextSibling(); table; table = table->nextSibling()) {
    if (!table->hasChildNodes()) continue;
    // A table of the wrong shape joins to none; it is left out instead of
    // taking the tables joined so far with it.
    if (auto next = JoinTables(factory, joined, table)) joined = std::move(next);
  }
  // The input is only read: a lone table is placed as a copy.
  result.node = joined == first ? CopyXmlTree(first) : joined;
  return result;
}

HRESULT CUnifyMerger::MergeOne(const xml::NodePtr& input, const xml::NodePtr& target) {
  if (!input || !target) return E_POINTER;
  if (!CanTakeNodes(target)) return E_INVALIDARG;
  HRESULT status = S_OK;
  const auto scratch = NewScratchDocument(status);
  if (FAILED(status)) return status;
  const WalkResult result = WalkOne(scratch, input);
  if (FAILED(result.status) || !result.node) return result.status;
  // A response gives its tables; a table (the joined one or the only one)
  // goes in whole, so that the target receives tables either way.
  if (!result.isResponse) {
    Append(target, result.node);
    return S_OK;
  }
  while (const auto table = result.node->firstChild()) Append(target, table);
  return S_OK;
}

HRESULT CUnifyMerger::MergeOneDocument(const xml::DocumentPtr& input, const xml::DocumentPtr& output) {
  if (!input || !output) return E_POINTER;
  if (!CanTakeElement(output)) return E_INVALIDARG;
  const WalkResult result = WalkOne(output, input->firstChild());
  if (FAILED(result.status) || !result.node) return result.status;
  Append(output, result.node);
  return S_OK;
}

// ---- Response pairs ---------------------------------------------------------

xml::NodePtr CUnifyMerger::JoinResponses(const xml::DocumentPtr& factory, const xml::NodePtr& first,
                                         const xml::NodePtr& second) {
  auto response = NewElement(factory, Kw(KW_RESPONSE));
  if (!IsResponse(first) || !IsResponse(second)) return response;
  auto a = ElementFrom(first->firstChild());
  auto b = ElementFrom(second->firstChild());
  for (; a && b; a = NextElement(a), b = NextElement(b))
    if (auto joined = JoinTables(factory, a, b)) Append(response, joined);
  for (const auto& rest : {a, b})
    for (auto table = rest; table; table = NextElement(table)) Append(response, CopyXmlTree(table));
  return response;
}

}  // namespace quor::core
