// A component server for the listener's tests, with the shapes of the
// service core's operations: a return value plus further outputs, several
// outputs, failures that leave outputs behind, and an administration class.
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/com/dispatch.h"
#include "platform/com/server.h"

using namespace quor::com;

namespace {

constexpr CLSID kClsidShapes = Guid::Literal("{3C9A4E21-7B5D-4E8F-A1C2-6D7E8F901A2B}");
constexpr CLSID kClsidShapesAdmin = Guid::Literal("{3C9A4E22-7B5D-4E8F-A1C2-6D7E8F901A2B}");

struct IShapes : IDispatch {
  QUOR_COM_INTERFACE(IDispatch, "{5F2B8C31-1D4E-4A6F-9B7C-8E9DA0B1C2D3}");
};
struct IShapesAdmin : IDispatch {
  QUOR_COM_INTERFACE(IDispatch, "{5F2B8C32-1D4E-4A6F-9B7C-8E9DA0B1C2D3}");
};

std::u16string Show(const Bstr& b) { return b.IsNull() ? u"(null)" : std::u16string(b.View()); }

std::atomic<int> g_inside{0};
std::atomic<int> g_objects{0};

class Shapes : public DispatchObject<Shapes, IShapes, ISupportErrorInfo> {
 public:
  static constexpr std::u16string_view kErrorSource = u"QuorSoapTest.Shapes";

  Shapes() : serial_(++g_objects) {}

  // The data operations' shape: [in] user, [out] reskey, [out, retval] result.
  HRESULT Stamp(const Bstr& user, Bstr* reskey, Bstr* result) {
    *reskey = Bstr(u"key:" + Show(user));
    *result = Bstr(u"result:" + Show(user));
    return S_OK;
  }
  HRESULT CreateTicket(const Bstr& authority, const Bstr& realm, const Bstr& principal, const Bstr& credential,
                       Bstr* fullPrincipal, Bstr* ticket) {
    *fullPrincipal = Bstr(Show(realm) + u"\\" + Show(principal));
    *ticket = Bstr(u"ticket(" + Show(authority) + u"," + Show(credential) + u")");
    return S_OK;
  }
  HRESULT OpenSession(const Bstr& service, const Bstr& ticket, const Bstr& tokenScheme, const Bstr& tokenSeed,
                      Bstr* sessionKey, Bstr* verifier, Bstr* locator) {
    *sessionKey = Bstr(u"sk-" + Show(ticket));
    *verifier = Bstr(u"v-" + Show(tokenSeed) + u"-" + Show(tokenScheme));
    *locator = Bstr(u"loc-" + Show(service));
    return S_OK;
  }
  // Fails with the status given (hexadecimal) after setting its outputs.
  HRESULT Fault(const Bstr& status, const Bstr& description, Bstr* reskey, Bstr* result) {
    *reskey = Bstr(u"must not be sent");
    *result = Bstr(u"must not be sent either");
    uint32_t code = 0;
    for (char16_t c : status.View()) {
      if (c >= u'0' && c <= u'9') code = code * 16 + (c - u'0');
      else if (c >= u'A' && c <= u'F') code = code * 16 + (c - u'A' + 10);
      else if (c >= u'a' && c <= u'f') code = code * 16 + (c - u'a' + 10);
    }
    return RaiseError(static_cast<HRESULT>(code), Bstr(kErrorSource), description);
  }
  // Sleeps `ms` milliseconds and answers how many calls were inside at once.
  HRESULT Probe(const Bstr& ms, Bstr* result) {
    const int inside = ++g_inside;
    int wait = 0;
    for (char16_t c : ms.View())
      if (c >= u'0' && c <= u'9') wait = wait * 10 + (c - u'0');
    std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    const int most = std::max(inside, g_inside.load());
    --g_inside;
    *result = Bstr::FromUtf8(std::to_string(most));
    return S_OK;
  }
  // The number of this object among all created in the process.
  HRESULT Serial(Bstr* result) {
    *result = Bstr::FromUtf8(std::to_string(serial_));
    return S_OK;
  }
  HRESULT Positive(Bstr* result) {
    *result = Bstr(u"ok");
    return S_FALSE;
  }
  // Text with characters XML cannot carry.
  HRESULT Control(Bstr* result) {
    *result = Bstr(std::u16string(u"a\u0001b\uFFFFc"));
    return S_OK;
  }
  // An output that is not text.
  HRESULT Bytes(SafeArray* result) {
    *result = SafeArray(VT_UI1, {0, 3});
    return S_OK;
  }
  // A null output beside an empty one.
  HRESULT Nothing(Bstr* empty, Bstr* result) {
    *empty = Bstr(u"");
    *result = Bstr();
    return S_OK;
  }

  HRESULT InterfaceSupportsErrorInfo(const IID& iid) override { return iid == IShapes::kIid ? S_OK : S_FALSE; }

  static std::span<const DispatchEntry<Shapes>> DispatchTable() {
    static const DispatchEntry<Shapes> table[] = {
        Method<&Shapes::Stamp>(u"Stamp", 1, {u"user", u"reskey", u"result"}),
        Method<&Shapes::CreateTicket>(u"CreateTicket", 2,
                                      {u"authority", u"realm", u"principal", u"credential", u"fullPrincipal",
                                       u"ticket"}),
        Method<&Shapes::OpenSession>(u"OpenSession", 3,
                                     {u"service", u"ticket", u"tokenScheme", u"tokenSeed", u"sessionKey",
                                      u"verifier", u"locator"}),
        Method<&Shapes::Fault>(u"Fault", 4, {u"status", u"description", u"reskey", u"result"}),
        Method<&Shapes::Probe>(u"Probe", 5, {u"ms", u"result"}),
        Method<&Shapes::Serial>(u"Serial", 6, {u"result"}),
        Method<&Shapes::Positive>(u"Positive", 7, {u"result"}),
        Method<&Shapes::Control>(u"Control", 8, {u"result"}),
        Method<&Shapes::Bytes>(u"Bytes", 9, {u"result"}),
        Method<&Shapes::Nothing>(u"Nothing", 10, {u"empty", u"result"}),
    };
    return table;
  }

 private:
  int serial_;
};

class ShapesAdmin : public DispatchObject<ShapesAdmin, IShapesAdmin> {
 public:
  HRESULT ReLoadConfig(const Bstr& user, Bstr* reskey, Bstr* result) {
    *reskey = Bstr(u"admin-key:" + Show(user));
    *result = Bstr(u"<root>0</root>");
    return S_OK;
  }
  static std::span<const DispatchEntry<ShapesAdmin>> DispatchTable() {
    static const DispatchEntry<ShapesAdmin> table[] = {
        Method<&ShapesAdmin::ReLoadConfig>(u"ReLoadConfig", 3, {u"user", u"reskey", u"result"}),
    };
    return table;
  }
};

const server::ClassInfo kClasses[] = {
    {kClsidShapes, "QuorSoapTest.Shapes.1", "QuorSoapTest.Shapes", "Shapes Class", "Apartment",
     &server::CreateInstance<Shapes>},
    {kClsidShapesAdmin, "QuorSoapTest.ShapesAdmin.1", "QuorSoapTest.ShapesAdmin", "ShapesAdmin Class", "Apartment",
     &server::CreateInstance<ShapesAdmin>},
};

}  // namespace

QUOR_COM_SERVER_EXPORTS(kClasses)
