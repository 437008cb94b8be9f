// Implementing components: ComObject gives a class QueryInterface over the
// interfaces it lists and a thread-safe intrusive reference count; MakeObject
// creates one.
//
// Each shared library counts its own live objects and server locks (the
// counters below are hidden, so every library has its copy) so that its
// DllCanUnloadNow can answer. ComObject is a template over the implementing
// class, so no two libraries ever share an instantiation of it.
#pragma once

#include <atomic>
#include <tuple>
#include <type_traits>
#include <utility>

#include "platform/com/unknown.h"

namespace quor::com {

namespace module {
[[gnu::visibility("hidden")]] inline std::atomic<long>& ObjectCount() {
  static std::atomic<long> count{0};
  return count;
}
[[gnu::visibility("hidden")]] inline std::atomic<long>& LockCount() {
  static std::atomic<long> count{0};
  return count;
}
}  // namespace module

// `Derived` is the implementing class; `Interfaces` the interfaces it
// implements (each declared with QUOR_COM_INTERFACE). QueryInterface answers
// for each of them, every interface they extend, and IUnknown.
template <typename Derived, typename... Interfaces>
class ComObject : public Interfaces... {
  static_assert(sizeof...(Interfaces) > 0, "a component implements at least one interface");
  using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;

 public:
  ComObject() { ++module::ObjectCount(); }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;
  virtual ~ComObject() { --module::ObjectCount(); }

  HRESULT QueryInterface(const IID& iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    void* found = nullptr;
    if (iid == IUnknown::kIid)
      found = static_cast<IUnknown*>(static_cast<First*>(this));
    else
      ((found = Match<Interfaces, Interfaces>(iid)) || ...);
    if (!found) found = static_cast<Derived*>(this)->FindExtraInterface(iid);
    if (!found) return E_NOINTERFACE;
    AddRef();
    *out = found;
    return S_OK;
  }
  uint32_t AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32_t Release() override {
    uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

  // A class may answer further interfaces by hiding this (returning the
  // interface pointer without AddRef, or nullptr).
  void* FindExtraInterface(const IID&) { return nullptr; }

  // The IUnknown of this object's identity.
  IUnknown* Identity() { return static_cast<IUnknown*>(static_cast<First*>(this)); }

 private:
  template <typename Top, typename Current>
  void* Match(const IID& iid) {
    if constexpr (std::is_void_v<Current>) {
      return nullptr;
    } else {
      if (iid == Current::kIid) return static_cast<Current*>(static_cast<Top*>(this));
      return Match<Top, typename Current::Base>(iid);
    }
  }

  std::atomic<uint32_t> refs_{0};
};

// Creates an object with one reference held by the returned pointer.
template <typename T, typename... Args>
ComPtr<T> MakeObject(Args&&... args) {
  return ComPtr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace quor::com
