// The calls a row of the operation table makes: a store method given the
// resolved caller (or, for the operation log, the principal's name), the
// decoded arguments in interface order and the result, so that an operation
// is its row and its store method. Included by the table alone.
#pragma once

#include <cassert>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/QuorServiceCore.h"
#include "core/QuorServiceUtils.h"

namespace quor::core {

namespace detail {

// What a store method takes; a method that may send its result while it makes it ends with the sink.
template <typename M>
struct StoreSig;
template <typename C, typename... P>
struct StoreSig<Status (C::*)(P...)> {
  using Class = C;
  using Args = std::tuple<P...>;
  static constexpr std::size_t N = sizeof...(P);
};
template <auto Method>
using StoreMethod = StoreSig<decltype(Method)>;
template <auto Method>
inline constexpr bool kStreams =
    std::is_same_v<std::tuple_element_t<StoreMethod<Method>::N - 1, typename StoreMethod<Method>::Args>,
                   com::ResultSink*>;

}  // namespace detail

template <typename Store>
Store& CQuorServiceCore::StoreOf(CQuorServiceCore& core) {
  if constexpr (std::is_same_v<Store, CCollabDBConnectImpl>) return *core.collab_;
  else if constexpr (std::is_same_v<Store, CVODBConnectImpl>) return *core.vo_;
  else return core.frame_.Log();
}

namespace detail {

// The caller as the method takes it: resolved, or by name alone.
template <auto Method>
decltype(auto) CallerFor(OpCall& c) {
  if constexpr (std::is_same_v<std::tuple_element_t<0, typename StoreMethod<Method>::Args>, const Caller&>)
    return c.Resolved();
  else
    return (c.principal);
}

// The [in] arguments a store method reads: all it takes but the caller, the
// result and the sink.
template <auto Method, bool WithPrincipal>
inline constexpr std::size_t kArgsOf =
    StoreMethod<Method>::N - (WithPrincipal ? 1 : 0) - 1 - (kStreams<Method> ? 1 : 0);

template <auto Method, bool WithPrincipal>
Status CallStore(auto& store, OpCall& c) {
  constexpr bool streams = kStreams<Method>;
  constexpr std::size_t kArgs = kArgsOf<Method, WithPrincipal>;
  // The frame sizes the arguments to the row's count, which the table
  // checks against this at compile time.
  assert(c.args.size() >= kArgs);
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    if constexpr (streams) {
      static_assert(WithPrincipal);
      return (store.*Method)(CallerFor<Method>(c), c.args[I]..., c.result, c.stream);
    } else if constexpr (WithPrincipal) {
      return (store.*Method)(CallerFor<Method>(c), c.args[I]..., c.result);
    } else {
      return (store.*Method)(c.args[I]..., c.result);
    }
  }(std::make_index_sequence<kArgs>{});
}

}  // namespace detail

template <auto Method>
Status CQuorServiceCore::Call(CQuorServiceCore& core, OpCall& c) {
  using Store = typename detail::StoreMethod<Method>::Class;
  return detail::CallStore<Method, true>(StoreOf<Store>(core), c);
}

template <auto Method>
Status CQuorServiceCore::CallNoUser(CQuorServiceCore& core, OpCall& c) {
  using Store = typename detail::StoreMethod<Method>::Class;
  return detail::CallStore<Method, false>(StoreOf<Store>(core), c);
}

template <auto OfContent, auto OfCollab, HRESULT InvalidUri>
Status CQuorServiceCore::CallAcl(CQuorServiceCore& core, OpCall& c) {
  static_assert(detail::kArgsOf<OfContent, true> == detail::kArgsOf<OfCollab, true>);
  // Only the full prefixes the URN builders write count here.
  const std::u16string_view uri = c.args[0].View();
  if (uri.starts_with(u"urn:vocontent:vodb000")) return Call<OfContent>(core, c);
  if (uri.starts_with(u"urn:vocontent:covodb000")) return Call<OfCollab>(core, c);
  return Status(InvalidUri);
}

template <auto OfCollab, auto OfContent>
Status CQuorServiceCore::CallLock(CQuorServiceCore& core, OpCall& c) {
  static_assert(detail::kArgsOf<OfCollab, true> == detail::kArgsOf<OfContent, true>);
  if (CQuorServiceUtils::ClassifyVOURI(c.args[0]) == 2) return Call<OfCollab>(core, c);
  return Call<OfContent>(core, c);
}

// What a row of the operation table names: the call, and the [in] arguments
// it reads, which the table checks against the row's parameters.
using OpTarget = CQuorServiceCore::Operation::Target;
template <auto Method>
inline constexpr OpTarget StoreCall{&CQuorServiceCore::Call<Method>,
                                    static_cast<int8_t>(detail::kArgsOf<Method, true>)};
template <auto Method>
inline constexpr OpTarget StoreCallNoUser{&CQuorServiceCore::CallNoUser<Method>,
                                          static_cast<int8_t>(detail::kArgsOf<Method, false>)};
template <auto OfContent, auto OfCollab, HRESULT InvalidUri>
inline constexpr OpTarget AclCall{&CQuorServiceCore::CallAcl<OfContent, OfCollab, InvalidUri>,
                                  static_cast<int8_t>(detail::kArgsOf<OfContent, true>)};
template <auto OfCollab, auto OfContent>
inline constexpr OpTarget LockCall{&CQuorServiceCore::CallLock<OfCollab, OfContent>,
                                   static_cast<int8_t>(detail::kArgsOf<OfCollab, true>)};
template <Status (CQuorServiceCore::*Member)(OpCall&)>
inline constexpr OpTarget MemberCall{&CQuorServiceCore::CallMember<Member>, -1};

}  // namespace quor::core
