// Objects, reference counts and the dispatch table helper, in process.
#include <gtest/gtest.h>

#include <thread>

#include "platform/com/dispatch.h"
#include "platform/com/object.h"

using namespace quor::com;

namespace {

struct IGreeter : IDispatch {
  QUOR_COM_INTERFACE(IDispatch, "{3C0B7E1D-92A4-4F6B-8E21-5D7C9A0B1E32}");
  virtual HRESULT Greet(const Bstr& name, Bstr* greeting) = 0;
};

struct IOther : IUnknown {
  QUOR_COM_INTERFACE(IUnknown, "{9E2D4C6B-1A3F-4B5D-8C7E-0F1A2B3C4D5E}");
  virtual int Value() = 0;
};

int g_destroyed = 0;

class Greeter : public DispatchObject<Greeter, IGreeter, IOther> {
 public:
  static constexpr std::u16string_view kErrorSource = u"Test.Greeter";
  ~Greeter() override { ++g_destroyed; }

  HRESULT Greet(const Bstr& name, Bstr* greeting) override {
    *greeting = Bstr(u"Hello, ").Append(name.View());
    return S_OK;
  }
  int Value() override { return 7; }

  HRESULT Query(Bstr user, const Bstr& statement, Bstr* resultKey, Bstr* result) {
    *resultKey = Bstr(u"key:").Append(user.View());
    *result = Bstr(statement);
    return S_OK;
  }
  HRESULT Scale(int32_t value, double factor, bool negate, int64_t* out) {
    *out = static_cast<int64_t>(value * factor) * (negate ? -1 : 1);
    return S_OK;
  }
  HRESULT Describe(const Variant& anything, Bstr* type) {
    *type = Bstr::FromUtf8(std::to_string(anything.Type()));
    return S_OK;
  }
  HRESULT Bump(int32_t* counter) {
    ++*counter;
    return S_OK;
  }
  HRESULT Refuse(int32_t code) {
    return RaiseError(static_cast<HRESULT>(0x81000000 + code), Bstr(u"QuorServer"), Bstr(u"refused"));
  }
  HRESULT Quiet() { return E_NOTIMPL; }
  HRESULT Explode() { throw std::logic_error("exploded"); }
  HRESULT Self(IDispatch* other, bool* same) {
    *same = other == static_cast<IDispatch*>(static_cast<IGreeter*>(this));
    return S_OK;
  }
  HRESULT get_Name(Bstr* name) {
    *name = name_;
    return S_OK;
  }
  HRESULT put_Name(const Bstr& name) {
    name_ = name;
    return S_OK;
  }

  static std::span<const DispatchEntry<Greeter>> DispatchTable() {
    static const DispatchEntry<Greeter> table[] = {
        Method<&Greeter::Greet>(u"Greet", 1, {u"name", u"greeting"}),
        Method<&Greeter::Query>(u"Query", 2, {u"user", u"sqlstmt", u"reskey", u"result"}),
        Method<&Greeter::Scale>(u"Scale", 3),
        Method<&Greeter::Describe>(u"Describe", 4),
        Method<&Greeter::Bump>(u"Bump", 5, {u"counter"}, RetVal::None),
        Method<&Greeter::Refuse>(u"Refuse", 6),
        Method<&Greeter::Quiet>(u"Quiet", 7),
        Method<&Greeter::Explode>(u"Explode", 8),
        Method<&Greeter::Self>(u"Self", 9),
        PropertyGet<&Greeter::get_Name>(u"Name", 10),
        PropertyPut<&Greeter::put_Name>(u"Name", 10),
    };
    return table;
  }

 private:
  Bstr name_;
};

ComPtr<IDispatch> MakeGreeter() {
  ComPtr<IDispatch> d;
  MakeObject<Greeter>().As(d);
  return d;
}

DISPID IdOf(IDispatch* d, std::u16string_view name) {
  DISPID id = DISPID_UNKNOWN;
  EXPECT_EQ(d->GetIDOfName(name, id), S_OK) << std::string(name.begin(), name.end());
  return id;
}

TEST(ComObject, QueryInterfaceAndReferenceCounts) {
  g_destroyed = 0;
  {
    ComPtr<Greeter> object = MakeObject<Greeter>();
    ComPtr<IGreeter> greeter;
    ASSERT_EQ(object.As(greeter), S_OK);
    ComPtr<IDispatch> dispatch = greeter.As<IDispatch>();
    ASSERT_TRUE(dispatch);
    ComPtr<IOther> other = dispatch.As<IOther>();
    ASSERT_TRUE(other);
    EXPECT_EQ(other->Value(), 7);
    EXPECT_TRUE(dispatch.As<IDispatchInfo>());
    // One identity, whichever interface it is asked through.
    EXPECT_EQ(other.As<IUnknown>().Get(), greeter.As<IUnknown>().Get());
    ComPtr<IClassFactory> none;
    EXPECT_EQ(dispatch.As(none), E_NOINTERFACE);
    EXPECT_FALSE(none);
    EXPECT_EQ(dispatch->QueryInterface(IUnknown::kIid, nullptr), E_POINTER);
    EXPECT_EQ(g_destroyed, 0);
  }
  EXPECT_EQ(g_destroyed, 1);

  // The count is safe across threads.
  ComPtr<IDispatch> shared = MakeGreeter();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([shared] {
      for (int i = 0; i < 1000; ++i) ComPtr<IDispatch> copy = shared;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(shared->AddRef(), 2u);
  EXPECT_EQ(shared->Release(), 1u);
}

TEST(Dispatch, NamesResolveWithoutCase) {
  auto d = MakeGreeter();
  EXPECT_EQ(IdOf(d.Get(), u"greet"), 1);
  EXPECT_EQ(IdOf(d.Get(), u"QUERY"), 2);
  DISPID id = 0;
  EXPECT_EQ(d->GetIDOfName(u"Missing", id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  // Parameter names give their positions.
  std::u16string_view names[] = {u"Query", u"SQLSTMT", u"user", u"nope"};
  DISPID ids[4] = {};
  EXPECT_EQ(d->GetIDsOfNames(names, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 2);
  EXPECT_EQ(ids[1], 1);
  EXPECT_EQ(ids[2], 0);
  EXPECT_EQ(ids[3], DISPID_UNKNOWN);
  EXPECT_EQ(d->GetIDsOfNames(names, std::span<DISPID>(ids, 2)), E_INVALIDARG);
}

TEST(Dispatch, ConvertsArgumentsBySignature) {
  auto d = MakeGreeter();
  Variant result;
  Variant args[] = {Variant(u"world")};
  ASSERT_EQ(d->Invoke(1, DISPATCH_METHOD, args, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.GetBstr(), u"Hello, world");

  // Outputs other than the return value come back through references.
  Bstr reskey;
  Variant queryArgs[] = {Variant(u"alice"), Variant(u"select 1"), Variant::ByRef(&reskey)};
  ASSERT_EQ(d->Invoke(2, DISPATCH_METHOD, queryArgs, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.GetBstr(), u"select 1");
  EXPECT_EQ(reskey, u"key:alice");
  // ... also into a caller's variant.
  Variant reskeyVariant;
  queryArgs[2] = Variant::ByRef(&reskeyVariant);
  ASSERT_EQ(d->Invoke(2, DISPATCH_METHOD, queryArgs, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(reskeyVariant.GetBstr(), u"key:alice");

  // Numbers and truth values convert from text and other numbers.
  Variant scaleArgs[] = {Variant(u"21"), Variant(int32_t{2}), Variant(u"True")};
  ASSERT_EQ(d->Invoke(3, DISPATCH_METHOD, scaleArgs, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.I8(), -42);

  // A Variant parameter takes the argument as it is.
  Variant describeArgs[] = {Variant::Null()};
  ASSERT_EQ(d->Invoke(4, DISPATCH_METHOD, describeArgs, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.GetBstr(), u"1");

  // [in, out] starts from the caller's value.
  int32_t counter = 41;
  Variant bumpArgs[] = {Variant::ByRef(&counter)};
  ASSERT_EQ(d->Invoke(5, DISPATCH_METHOD, bumpArgs, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(counter, 42);
  EXPECT_TRUE(result.IsEmpty());

  // A null string reaches the member as null, an empty one as empty.
  Variant nullArgs[] = {Variant(Bstr())};
  ASSERT_EQ(d->Invoke(1, DISPATCH_METHOD, nullArgs, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.GetBstr(), u"Hello, ");

  // Interface arguments.
  Variant selfArgs[] = {Variant(d.Get())};
  ASSERT_EQ(d->Invoke(9, DISPATCH_METHOD, selfArgs, &result, nullptr, nullptr), S_OK);
  EXPECT_TRUE(result.Bool());
}

TEST(Dispatch, PropertiesGetAndPut) {
  auto d = MakeGreeter();
  DISPID id = IdOf(d.Get(), u"name");
  Variant value[] = {Variant(u"Quor")};
  ASSERT_EQ(d->Invoke(id, DISPATCH_PROPERTYPUT, value, nullptr, nullptr, nullptr), S_OK);
  Variant result;
  ASSERT_EQ(d->Invoke(id, DISPATCH_PROPERTYGET, {}, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.GetBstr(), u"Quor");
  // A method is not a property to put.
  ASSERT_EQ(d->Invoke(1, DISPATCH_PROPERTYPUT, value, nullptr, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
  ASSERT_EQ(d->Invoke(99, DISPATCH_METHOD, {}, &result, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
}

TEST(Dispatch, BadArgumentsAreRefusedBeforeTheCall) {
  auto d = MakeGreeter();
  Variant result;
  uint32_t argError = 99;
  EXPECT_EQ(d->Invoke(2, DISPATCH_METHOD, std::span<const Variant>(), &result, nullptr, &argError),
            DISP_E_PARAMNOTOPTIONAL);
  EXPECT_EQ(argError, 0u);
  Variant tooMany[] = {Variant(u"a"), Variant(u"b")};
  EXPECT_EQ(d->Invoke(1, DISPATCH_METHOD, tooMany, &result, nullptr, nullptr), DISP_E_BADPARAMCOUNT);
  Variant notANumber[] = {Variant(u"many"), Variant(1.0), Variant(false)};
  EXPECT_EQ(d->Invoke(3, DISPATCH_METHOD, notANumber, &result, nullptr, &argError), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argError, 0u);
  // An output needs a reference.
  Variant plainOutput[] = {Variant(u"a"), Variant(u"b"), Variant(u"c")};
  EXPECT_EQ(d->Invoke(2, DISPATCH_METHOD, plainOutput, &result, nullptr, &argError), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argError, 2u);
  int32_t wrongType = 0;
  Variant wrongRef[] = {Variant(u"a"), Variant(u"b"), Variant::ByRef(&wrongType)};
  EXPECT_EQ(d->Invoke(2, DISPATCH_METHOD, wrongRef, &result, nullptr, &argError), DISP_E_TYPEMISMATCH);
  Variant notAnObject[] = {Variant(int32_t{3})};
  EXPECT_EQ(d->Invoke(9, DISPATCH_METHOD, notAnObject, &result, nullptr, &argError), DISP_E_TYPEMISMATCH);
}

TEST(Dispatch, FailuresBecomeExceptionRecords) {
  auto d = MakeGreeter();
  Variant result;
  ExcepInfo excep;
  Variant code[] = {Variant(int32_t{0x5D})};
  ClearErrorInfo();
  ASSERT_EQ(d->Invoke(6, DISPATCH_METHOD, code, &result, &excep, nullptr), DISP_E_EXCEPTION);
  EXPECT_EQ(excep.scode, static_cast<HRESULT>(0x8100005D));
  EXPECT_EQ(excep.wCode, 0);
  EXPECT_EQ(excep.source, u"QuorServer");
  EXPECT_EQ(excep.description, u"refused");
  EXPECT_FALSE(HasErrorInfo()) << "the record took the thread's error information";

  // Without a record the caller reads the thread's error information.
  ASSERT_EQ(d->Invoke(6, DISPATCH_METHOD, code, &result, nullptr, nullptr), DISP_E_EXCEPTION);
  auto info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description, u"refused");

  // A failure without error information is described by its status.
  ASSERT_EQ(d->Invoke(7, DISPATCH_METHOD, {}, &result, &excep, nullptr), DISP_E_EXCEPTION);
  EXPECT_EQ(excep.scode, E_NOTIMPL);
  EXPECT_EQ(excep.description.ToUtf8(), HResultText(E_NOTIMPL));
  EXPECT_EQ(excep.source, u"Test.Greeter");

  // Exceptions never leave Invoke.
  ASSERT_EQ(d->Invoke(8, DISPATCH_METHOD, {}, &result, &excep, nullptr), DISP_E_EXCEPTION);
  EXPECT_EQ(excep.scode, E_UNEXPECTED);
  EXPECT_EQ(excep.description, u"exploded");
  EXPECT_EQ(excep.source, u"Test.Greeter");
}

TEST(Dispatch, MembersDescribeTheirParameters) {
  auto d = MakeGreeter();
  ComPtr<IDispatchInfo> info = d.As<IDispatchInfo>();
  ASSERT_TRUE(info);
  std::vector<MemberInfo> members;
  ASSERT_EQ(info->GetMembers(members), S_OK);
  ASSERT_GE(members.size(), 2u);
  const MemberInfo& query = members[1];
  EXPECT_EQ(query.name, u"Query");
  ASSERT_EQ(query.params.size(), 4u);
  EXPECT_EQ(query.params[0].name, u"user");
  EXPECT_EQ(query.params[0].type, VT_BSTR);
  EXPECT_EQ(query.params[0].direction, ParamDirection::In);
  EXPECT_EQ(query.params[2].name, u"reskey");
  EXPECT_EQ(query.params[2].type, VT_BYREF | VT_BSTR);
  EXPECT_EQ(query.params[2].direction, ParamDirection::Out);
  EXPECT_EQ(query.params[3].direction, ParamDirection::RetVal);
  EXPECT_EQ(members[4].params[0].direction, ParamDirection::Out) << "Bump has no return value";
}

TEST(Dispatch, InvokeByNameForLateBoundCallers) {
  auto d = MakeGreeter();
  Variant result;
  Variant args[] = {Variant(u"x")};
  EXPECT_EQ(InvokeByName(d.Get(), u"GREET", DISPATCH_METHOD, args, &result), S_OK);
  EXPECT_EQ(result.GetBstr(), u"Hello, x");
  EXPECT_EQ(InvokeByName(d.Get(), u"Nothing", DISPATCH_METHOD, args, &result), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(InvokeByName(nullptr, u"Greet", DISPATCH_METHOD, args, &result), E_POINTER);
}

}  // namespace
