// What the stores, the query engine and the request frame share and that
// needs no service object: the log-time stamp, status raising, the result and
// fault texts, URNs and ACL documents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/Caller.h"
#include "platform/com/bstr.h"
#include "platform/com/hresult.h"
#include "platform/com/status.h"
#include "platform/xml/dom.h"

namespace quor::core {

// A result sent while it is made goes in pieces of about this many bytes.
inline constexpr size_t kResultPiece = size_t{64} << 10;

// Exception information of a failed late-bound call, as the fault texts take it.
struct CallException {
  uint16_t code = 0;
  com::Bstr description;
  HRESULT status = S_OK;  // the full status (scode) when the call gave one
};

class CServiceHelpers {
 public:
  // Local time as "%d/%d/%d %d:%d:%d" (year/month/day hour:minute:second, no
  // leading zeros): the stamp of every store row.
  static std::string FormatLogTime();

  // ---- Status codes, result and fault texts ----
  // `status` with `text`, or, without text, the status's own service text:
  // what a failure of the service says at the edge.
  static Status ServiceError(HRESULT status, const com::Bstr& text = {});
  // At a component's edge: makes error information with `source` and `text`
  // (without text, the status's own text, empty when it has none) the
  // thread's current error information, in place of what a called component
  // left.
  static void RaiseServiceError(std::u16string_view source, HRESULT status, const com::Bstr& text = {});
  // "<root><resultCode>%d</resultCode></root>".
  static com::Bstr FormatResultCode(int32_t code);
  static com::Bstr MakeTransformerFault(const CallException& exception);
  static com::Bstr MakeAccessorFault(const CallException& exception);
  // Whether `text` is present and begins with "<fault>".
  static bool IsFaultResult(const com::Bstr& text);
  // The failure a fault text describes: its number as a failing status, with
  // its description (or the status's own text) as the message.
  static Status ParseFaultResult(const com::Bstr& text);
  // The same, with `notFailing` for a number that is no failing status (0,
  // positive, or not a number at all).
  static Status ParseFaultResult(const com::Bstr& text, HRESULT notFailing);

  // ---- URNs ----
  // The URN of a Vesk object, "urn:vocontent:vodb000:" + user + "-" + name;
  // of a share field, "urn:vocontent:covodb000:" + author + "-" + name; of a
  // resource, "urn:voresource:" + name; and a resource's folder name,
  // "urn_voresource_" + name. The parts go in unchanged: a URN is a key of the
  // tables, never part of a statement's text.
  static std::string MakeVOContentURI(std::string_view user, std::string_view name);
  static std::string MakeCoVOContentURI(std::string_view author, std::string_view name);
  static std::string MakeVOResourceURI(std::string_view name);
  static std::string MakeVOResourceDirName(std::string_view name);
  static com::Bstr MakeVOContentURIW(const com::Bstr& user, const com::Bstr& name);
  static com::Bstr MakeCoVOContentURIW(const com::Bstr& author, const com::Bstr& name);
  // 1 for a Vesk content URN ("urn:vocontent:vodb"), 2 for a share field
  // ("urn:vocontent:covodb"), 0 for anything else.
  static int ClassifyVOURI(const com::Bstr& uri);
  // ResourceURL and ResourceDir under the service key; none when missing,
  // empty, or longer than 260 bytes.
  static std::optional<std::string> ReadResourceURL();
  static std::optional<std::string> ReadResourceDir();

  // ---- ACL documents and access evaluation ----
  // "<VOACL>" with a "control" entry for the owner and one for
  // "administrator", both with every right ("rwdarawad").
  static Status MakeDefaultACL(const com::Bstr& owner, com::Bstr& document);
  // Whether `acl` grants `caller` every right token of `requested` ("r", "w", "d", "ar", "aw", "ad") through one of its
  // entries: success on a grant, else the failing status that says why. Asks nobody: the caller was resolved before.
  static Status CheckAccessRights(const Caller& caller, std::u16string_view requested, const com::Bstr& acl);
  // Whether one "control" entry names `caller` (by name, "everyone",
  // "administrator" or a group) and holds every requested token.
  static bool EvaluateControlEntry(const Caller& caller, std::u16string_view requested, const xml::NodePtr& entry);
  // The entry of `entryUser` written out, or null when there is none.
  static Status GetACLEntryFromDocument(const com::Bstr& entryUser, const com::Bstr& acl, com::Bstr& entry);
  // The document with a new entry, the entry's rights replaced, or the entry
  // removed (the first entry of that user only).
  static Status PutACLEntryToDocument(const com::Bstr& entryUser, const com::Bstr& rights, const com::Bstr& acl,
                                      com::Bstr& document);
  static Status UpdateACLEntryInDocument(const com::Bstr& entryUser, const com::Bstr& rights, const com::Bstr& acl,
                                         com::Bstr& document);
  static Status DeleteACLEntryFromDocument(const com::Bstr& entryUser, const com::Bstr& acl, com::Bstr& document);

};

}  // namespace quor::core
