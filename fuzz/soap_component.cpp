// The component the SOAP envelope target calls: the service core's operation
// shapes (a return value after further outputs, several inputs, a number)
// answering at once from their inputs.
#include "platform/com/dispatch.h"
#include "platform/com/server.h"

using namespace quor::com;

namespace {

constexpr CLSID kClsidShapes = Guid::Literal("{9D3E5A10-4C2B-4F7A-8E61-2B7C9A0D4E11}");

struct IFuzzShapes : IDispatch {
  QUOR_COM_INTERFACE(IDispatch, "{9D3E5A11-4C2B-4F7A-8E61-2B7C9A0D4E11}");
};

class Shapes : public DispatchObject<Shapes, IFuzzShapes> {
 public:
  // [in] user, [out] reskey, [out, retval] result.
  HRESULT Stamp(const Bstr& user, Bstr* reskey, Bstr* result) {
    *reskey = user;
    *result = user;
    return S_OK;
  }
  // Four inputs, an [in, out] and a return value.
  HRESULT Join(const Bstr& a, const Bstr& b, const Bstr& c, const Bstr& d, Bstr* inout, Bstr* result) {
    *result = Bstr(std::u16string(a.View()) + std::u16string(b.View()) + std::u16string(c.View()) +
                   std::u16string(d.View()) + std::u16string(inout->View()));
    return S_OK;
  }
  // A number argument, converted from the text sent.
  HRESULT Count(int32_t n, bool flag, double x, Bstr* result) {
    *result = Bstr::FromUtf8(std::to_string(n) + (flag ? "+" : "-") + std::to_string(x));
    return S_OK;
  }

  static std::span<const DispatchEntry<Shapes>> DispatchTable() {
    static const DispatchEntry<Shapes> table[] = {
        Method<&Shapes::Stamp>(u"Stamp", 1, {u"user", u"reskey", u"result"}),
        Method<&Shapes::Join>(u"Join", 2, {u"a", u"b", u"c", u"d", u"inout", u"result"}),
        Method<&Shapes::Count>(u"Count", 3, {u"n", u"flag", u"x", u"result"}),
    };
    return table;
  }
};

const server::ClassInfo kClasses[] = {
    {kClsidShapes, "QuorFuzz.Shapes.1", "QuorFuzz.Shapes", "Shapes Class", "Apartment",
     &server::CreateInstance<Shapes>},
};

}  // namespace

QUOR_COM_SERVER_EXPORTS(kClasses)
