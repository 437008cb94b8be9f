// The test component server: one class, QuorTest.Echo, called late-bound.
#include <cstdio>
#include <cstdlib>

#include "platform/com/callcontext.h"
#include "platform/com/dispatch.h"
#include "platform/com/server.h"

using namespace quor::com;

namespace {

constexpr CLSID kClsidEcho = Guid::Literal("{6B1F3C2A-9D4E-4F51-8A7B-2C3D4E5F6071}");

struct IEcho : IDispatch {
  QUOR_COM_INTERFACE(IDispatch, "{0E4D1B7C-5A3F-4C2E-9B8D-7F6A5E4D3C21}");
  virtual HRESULT Convert(const Bstr& src, const Bstr& rule, Bstr* result) = 0;
};

// Appends a line to the file named by QUOR_TEST_PLUGIN_LOG.
void Log(const char* line) {
  const char* path = std::getenv("QUOR_TEST_PLUGIN_LOG");
  if (!path || !*path) return;
  if (FILE* f = std::fopen(path, "a")) {
    std::fprintf(f, "%s\n", line);
    std::fclose(f);
  }
}

class Echo : public DispatchObject<Echo, IEcho, ISupportErrorInfo> {
 public:
  static constexpr std::u16string_view kErrorSource = u"QuorTest.Echo";

  HRESULT Convert(const Bstr& src, const Bstr& rule, Bstr* result) override {
    if (!result) return E_POINTER;
    Bstr out(u"[");
    out.Append(src.IsNull() ? u"(null)" : src.View());
    out.Append(u"|");
    out.Append(rule.IsNull() ? u"(null)" : rule.View());
    out.Append(u"]");
    *result = std::move(out);
    return S_OK;
  }
  HRESULT Fail(const Bstr& message) { return RaiseError(static_cast<HRESULT>(0x80040205), Bstr(kErrorSource), message); }
  HRESULT Throw(const Bstr& message) { throw ComError(E_INVALIDARG, message); }
  HRESULT Add(int32_t a, int32_t b, int32_t* sum) {
    *sum = a + b;
    return S_OK;
  }
  HRESULT Swap(Bstr* a, Bstr* b) {
    std::swap(*a, *b);
    return S_OK;
  }
  HRESULT IsNullText(const Bstr& text, bool* isNull) {
    *isNull = text.IsNull();
    return S_OK;
  }
  HRESULT Grid(int32_t rows, int32_t columns, SafeArray* result) {
    SafeArray grid(VT_I4, {1, static_cast<uint32_t>(rows)}, {1, static_cast<uint32_t>(columns)});
    for (int32_t r = 1; r <= rows; ++r)
      for (int32_t c = 1; c <= columns; ++c) {
        int32_t at[2] = {r, c};
        grid.PutElement(at, Variant(r * 10 + c));
      }
    *result = std::move(grid);
    return S_OK;
  }
  HRESULT Clone(IDispatch** out) {
    *out = MakeObject<Echo>().Detach();
    return S_OK;
  }
  // `count` times `text` as the result: returned whole when `whole` is not
  // 0 or the call has no result sink, else written through the sink a piece
  // at a time. With `failAfter` >= 0, fails with `status` once that many
  // pieces went; a piece the sink refuses fails with the sink's status.
  // `written`: the pieces that went. In `text`, '~' stands for U+FFFF, '^'
  // for U+0001 and '`' for the byte 0xFF, which no request can carry but a
  // result may hold.
  HRESULT Pieces(const Bstr& text, int32_t count, int32_t whole, int32_t failAfter, int32_t status,
                 int32_t* written, Bstr* result) {
    std::string piece;
    for (const char c : text.ToUtf8()) {
      if (c == '~')
        piece += "\xEF\xBF\xBF";
      else if (c == '^')
        piece += '\x01';
      else if (c == '`')
        piece += '\xFF';
      else
        piece += c;
    }
    *written = 0;
    ResultSink* sink = CurrentCallContext().resultSink;
    if (whole || !sink) {
      std::string all;
      for (int32_t k = 0; k < count; ++k) {
        if (k == failAfter) return RaiseError(status, Bstr(kErrorSource), u"failed before the result was whole");
        all += piece;
      }
      *written = count;
      *result = Bstr::TakeUtf8(std::move(all));
      return S_OK;
    }
    for (int32_t k = 0; k < count; ++k) {
      if (k == failAfter) return RaiseError(status, Bstr(kErrorSource), u"failed after some pieces went");
      if (const quor::Status s = sink->Write(piece); !s.ok()) {
        const std::string why = "the sink refused piece " + std::to_string(k) + ": " + s.Text();
        return RaiseError(s.code(), Bstr(kErrorSource), Bstr::FromUtf8(why));
      }
      ++*written;
    }
    *result = Bstr(u"not the result: the pieces are");
    return S_OK;
  }
  HRESULT get_Count(int32_t* value) {
    *value = count_;
    return S_OK;
  }
  HRESULT put_Count(int32_t value) {
    count_ = value;
    return S_OK;
  }

  HRESULT InterfaceSupportsErrorInfo(const IID& iid) override { return iid == IEcho::kIid ? S_OK : S_FALSE; }

  static std::span<const DispatchEntry<Echo>> DispatchTable() {
    static const DispatchEntry<Echo> table[] = {
        Method<&Echo::Convert>(u"Convert", 1, {u"src", u"rule", u"result"}),
        Method<&Echo::Fail>(u"Fail", 2, {u"message"}),
        Method<&Echo::Throw>(u"Throw", 3),
        Method<&Echo::Add>(u"Add", 4, {u"a", u"b", u"sum"}),
        Method<&Echo::Swap>(u"Swap", 5, {u"a", u"b"}, RetVal::None),
        Method<&Echo::IsNullText>(u"IsNullText", 6),
        Method<&Echo::Grid>(u"Grid", 7),
        Method<&Echo::Clone>(u"Clone", 8),
        Method<&Echo::Pieces>(u"Pieces", 10,
                              {u"text", u"count", u"whole", u"failAfter", u"status", u"written", u"result"}),
        PropertyGet<&Echo::get_Count>(u"Count", 9),
        PropertyPut<&Echo::put_Count>(u"Count", 9),
    };
    return table;
  }

 private:
  int32_t count_ = 0;
};

const server::ClassInfo kClasses[] = {
    {kClsidEcho, "QuorTest.Echo.1", "QuorTest.Echo", "Echo Class", "Apartment", &server::CreateInstance<Echo>},
};

}  // namespace

QUOR_COM_SERVER_EXPORTS(kClasses)

extern "C" [[gnu::visibility("default")]] HRESULT QuorDllAttach() {
  if (std::getenv("QUOR_TEST_PLUGIN_FAIL_ATTACH")) return E_ACCESSDENIED;
  Log("attach");
  return S_OK;
}

extern "C" [[gnu::visibility("default")]] void QuorDllDetach() { Log("detach"); }
