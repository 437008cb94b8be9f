// The walkers that descend one or two partial results to their tables and
// hand the tables, pair by pair, to JoinTables.
#include "core/query/UnifyMerger.h"

#include <new>

#include "core/KeywordTable.h"
#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"

namespace quor::core {
namespace {

std::string_view Kw(KeywordIndex index) { return CKeywordTable::Instance().Narrow(index); }

bool IsResponse(const xml::NodePtr& node) {
  return xml::IsElement(node, Kw(KW_RESPONSE));
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
Result<xml::DocumentPtr> NewScratchDocument() {
  try {
    auto document = xml::Document::Create();
    if (!document) return Status(E_OUTOFMEMORY);
    return document;
  } catch (const std::bad_alloc&) {
    return Status(E_OUTOFMEMORY);
  }
}

// Only an element can take a result of several tables; a document node or a
// text node would refuse part of it after taking the rest.
bool CanTakeNodes(const xml::NodePtr& target) { return target->nodeType() == xml::NodeType::Element; }

// A document holds one element at most.
bool CanTakeElement(const xml::DocumentPtr& output) { return !output->documentElement(); }

}  // namespace

// ---- Entries ----------------------------------------------------------------

Status CUnifyMerger::Merge(const xml::NodePtr& left, const xml::NodePtr& right, const xml::NodePtr& target) {
  if (!left && !right) return Status(E_POINTER);
  if (left && right) return MergeTwo(left, right, target);
  return MergeOne(left ? left : right, target);
}

Status CUnifyMerger::MergeDocuments(const xml::DocumentPtr& first, const xml::DocumentPtr& second,
                                    const xml::DocumentPtr& output) {
  if (!first && !second) return Status(E_POINTER);
  if (first && second) return MergeTwoDocuments(first, second, output);
  return MergeOneDocument(first ? first : second, output);
}

// ---- Two inputs -------------------------------------------------------------

Result<xml::NodePtr> CUnifyMerger::WalkTwo(const xml::DocumentPtr& factory, const xml::NodePtr& first,
                                           const xml::NodePtr& second) {
  auto a = ResponseFrom(first);
  auto b = ResponseFrom(second);
  if (!a || !b) return xml::NodePtr();
  // Every pair's response goes into the first one: the joined tables of the
  // later pairs and copies of the tables of unpaired responses, in order.
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr merged, JoinResponses(factory, a, b));
  for (a = NextResponse(a), b = NextResponse(b); a && b; a = NextResponse(a), b = NextResponse(b)) {
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr joined, JoinResponses(factory, a, b));
    while (const auto table = joined->firstChild()) QUOR_RETURN_IF_ERROR(Append(merged, table));
  }
  for (const auto& rest : {a, b})
    for (auto response = rest; response; response = NextResponse(response))
      for (auto table = ElementFrom(response->firstChild()); table; table = NextElement(table)) {
        QUOR_ASSIGN_OR_RETURN(const xml::NodePtr copy, CopyXmlTree(table));
        QUOR_RETURN_IF_ERROR(Append(merged, copy));
      }
  return merged;
}

Status CUnifyMerger::MergeTwo(const xml::NodePtr& left, const xml::NodePtr& right, const xml::NodePtr& target) {
  if (!left || !right || !target) return Status(E_POINTER);
  if (!CanTakeNodes(target)) return Status(E_INVALIDARG);
  QUOR_ASSIGN_OR_RETURN(const xml::DocumentPtr scratch, NewScratchDocument());
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr merged, WalkTwo(scratch, left, right));
  if (!merged) return Status(QS_E_UNIFICATION_SOURCE_INVALID);
  while (const auto table = merged->firstChild()) QUOR_RETURN_IF_ERROR(Append(target, table));
  return Status();
}

Status CUnifyMerger::MergeTwoDocuments(const xml::DocumentPtr& first, const xml::DocumentPtr& second,
                                       const xml::DocumentPtr& output) {
  if (!first || !second || !output) return Status(E_POINTER);
  if (!CanTakeElement(output)) return Status(E_INVALIDARG);
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr merged, WalkTwo(output, first->firstChild(), second->firstChild()));
  if (!merged) return Status(QS_E_UNIFICATION_SOURCE_INVALID);
  return Append(output, merged);
}

// ---- One input --------------------------------------------------------------

Result<CUnifyMerger::WalkResult> CUnifyMerger::WalkOne(const xml::DocumentPtr& factory, const xml::NodePtr& input) {
  WalkResult result;
  const auto response = ResponseFrom(input);
  if (!response) return Status(QS_E_UNIFICATION_SOURCE_INVALID);

  // Several responses: joined one after the other.
  if (auto next = NextResponse(response)) {
    QUOR_ASSIGN_OR_RETURN(xml::NodePtr joined, JoinResponses(factory, response, next));
    for (auto more = NextResponse(next); more; more = NextResponse(more)) {
      QUOR_ASSIGN_OR_RETURN(joined, JoinResponses(factory, joined, more));
    }
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
      if (xml::IsElement(child, Kw(KW_TABLE))) first = child;
  if (!first) return result;

  xml::NodePtr joined = first;
  for (auto table = first->nextSibling(); table; table = table->nextSibling()) {
    if (!table->hasChildNodes()) continue;
    // A table of the wrong shape joins to none; it is left out instead of
    // taking the tables joined so far with it.
    QUOR_ASSIGN_OR_RETURN(xml::NodePtr next, JoinTables(factory, joined, table));
    if (next) joined = std::move(next);
  }
  // The input is only read: a lone table is placed as a copy.
  if (joined == first) {
    QUOR_ASSIGN_OR_RETURN(result.node, CopyXmlTree(first));
  } else {
    result.node = joined;
  }
  return result;
}

Status CUnifyMerger::MergeOne(const xml::NodePtr& input, const xml::NodePtr& target) {
  if (!input || !target) return Status(E_POINTER);
  if (!CanTakeNodes(target)) return Status(E_INVALIDARG);
  QUOR_ASSIGN_OR_RETURN(const xml::DocumentPtr scratch, NewScratchDocument());
  QUOR_ASSIGN_OR_RETURN(const WalkResult result, WalkOne(scratch, input));
  if (!result.node) return Status();
  // A response gives its tables; a table (the joined one or the only one)
  // goes in whole, so that the target receives tables either way.
  if (!result.isResponse) return Append(target, result.node);
  while (const auto table = result.node->firstChild()) QUOR_RETURN_IF_ERROR(Append(target, table));
  return Status();
}

Status CUnifyMerger::MergeOneDocument(const xml::DocumentPtr& input, const xml::DocumentPtr& output) {
  if (!input || !output) return Status(E_POINTER);
  if (!CanTakeElement(output)) return Status(E_INVALIDARG);
  QUOR_ASSIGN_OR_RETURN(const WalkResult result, WalkOne(output, input->firstChild()));
  if (!result.node) return Status();
  return Append(output, result.node);
}

// ---- Response pairs ---------------------------------------------------------

Result<xml::NodePtr> CUnifyMerger::JoinResponses(const xml::DocumentPtr& factory, const xml::NodePtr& first,
                                                 const xml::NodePtr& second) {
  QUOR_ASSIGN_OR_RETURN(const xml::NodePtr response, NewElement(factory, Kw(KW_RESPONSE)));
  if (!IsResponse(first) || !IsResponse(second)) return response;
  auto a = ElementFrom(first->firstChild());
  auto b = ElementFrom(second->firstChild());
  for (; a && b; a = NextElement(a), b = NextElement(b)) {
    QUOR_ASSIGN_OR_RETURN(const xml::NodePtr joined, JoinTables(factory, a, b));
    if (joined) QUOR_RETURN_IF_ERROR(Append(response, joined));
  }
  for (const auto& rest : {a, b})
    for (auto table = rest; table; table = NextElement(table)) {
      QUOR_ASSIGN_OR_RETURN(const xml::NodePtr copy, CopyXmlTree(table));
      QUOR_RETURN_IF_ERROR(Append(response, copy));
    }
  return response;
}

}  // namespace quor::core
