// The transformers a statement names, run one after the other on its result:
// each one's output text is the next one's input. A transformer is found by
// its entry in the transform folder's definitions and called late-bound.
#pragma once

#include "core/ServiceConfig.h"
#include "core/query/ResultText.h"
#include "platform/com/bstr.h"
#include "platform/com/status.h"
#include "platform/com/streamconvert.h"
#include "platform/xml/dom.h"

namespace quor::core {

// Runs the chain on the XML text of `result`: the chain's status, and in
// `transformed` the node of the last output text (none when there is no
// output or it is not XML), also when the chain failed.
Status TransformResult(CServiceConfig& settings, const xml::NodePtr& result, const com::Bstr& chain,
                       const com::Bstr& defaultRule, xml::NodePtr& transformed);
// The same on a part: the last output text as it is when it is a written
// element, else parsed (once).
Status TransformPart(CServiceConfig& settings, const ResultPart& result, const com::Bstr& chain,
                     const com::Bstr& defaultRule, ResultPart& transformed);

// The transformer of a one-item chain begun on a source read piece by piece,
// its output going to `out`; none when the chain cannot run that way (more
// items, a transformer without that way in, or one the chain would fail to
// find or call), and then it runs on the whole result.
Result<com::ComPtr<com::IStreamConvert>> OpenStreamTransformer(CServiceConfig& settings, const com::Bstr& chain,
                                                               com::ResultSink& out);

// `chain` is a list of items separated by ","; an item is a name, or
// a name and a rule separated by white space. The first failing item stops
// the chain; `output` is the text of the last call made (on a stop, as a rule
// the failing transformer's fault document or nothing).
Status TransformChain(CServiceConfig& settings, const com::Bstr& chain, const com::Bstr& input,
                      const com::Bstr& defaultRule, com::Bstr& output);

// Calls the transformer whose "transID" (or else "ProgID") is `name`, with
// `rule` or else the entry's own "Rule". 0x81000011 when no entry has that
// name, 0x81000010 when there are no definitions to look in.
Status CallTransformer(CServiceConfig& settings, const com::Bstr& name, const com::Bstr& input,
                       const com::Bstr& rule, com::Bstr& output);

}  // namespace quor::core
