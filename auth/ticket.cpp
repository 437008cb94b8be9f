#include "auth/ticket.h"

#include "auth/config.h"
#include "auth/fail.h"
#include "auth/sealed.h"
#include "auth/util/error.h"
#include "platform/text/text.h"

namespace quor::auth {
namespace {

constexpr std::string_view kInvalidTicket = "Invalid Ticket";

bool FitsAField(std::u16string_view text) { return text.find_first_of(std::u16string_view(u":\0", 2)) == text.npos; }

std::u16string Number(uint32_t n) { return text::Widen(text::Format("%u", n)); }

}  // namespace

TicketImpl TicketImpl::Issued(std::u16string realm, std::u16string principal, uint32_t firstReading,
                              uint32_t secondReading) {
  TicketImpl t;
  t.issueTime = secondReading;
  t.secondTime = firstReading;
  t.reserved4 = 0xFFFFFFFF;
  t.realm = std::move(realm);
  t.principal = std::move(principal);
  return t;
}

Result<std::u16string> MakeTicketText(const TicketImpl& ticket) {
  QUOR_ASSIGN_OR_RETURN(const Bytes secret, ServiceConfig::Instance().ServerSecretKey());
  return MakeTicketText(ticket, secret);
}

Result<std::u16string> MakeTicketText(const TicketImpl& t, std::span<const uint8_t> secretKeyBlob) {
  if (!FitsAField(t.realm) || !FitsAField(t.principal))
    return Fail(E_INVALIDARG, "a realm or principal must not contain ':'");
  std::u16string plain;
  for (uint32_t n : {t.version, t.reserved1, t.issueTime, t.secondTime, t.reserved4, t.reserved5}) plain += Number(n) + u":";
  plain += t.realm + u":" + t.principal;
  for (uint32_t n : {t.reserved8, t.reserved9, t.reserved10, t.reserved11}) {
    plain += u':';
    plain += Number(n);
  }
  return SealAndSign(plain, secretKeyBlob);
}

Result<std::unique_ptr<TicketImpl>> ParseTicket(std::u16string_view text) {
  QUOR_ASSIGN_OR_RETURN(const Bytes secret, ServiceConfig::Instance().ServerSecretKey());
  return ParseTicket(text, secret);
}

Result<std::unique_ptr<TicketImpl>> ParseTicket(std::u16string_view text, std::span<const uint8_t> secretKeyBlob) {
  QUOR_ASSIGN_OR_RETURN(const std::u16string plain, OpenSigned(text, secretKeyBlob, kInvalidTicket));
  std::vector<std::string> fields = text::Split(text::Narrow(plain), ':');
  if (fields.size() != 12) return Fail(E_FAIL, kInvalidTicket);
  uint32_t numbers[12] = {};
  for (size_t i : {0, 1, 2, 3, 4, 5, 8, 9, 10, 11}) {
    std::optional<uint32_t> n = text::ParseUInt32(fields[i]);
    if (!n || !text::IsAsciiDigits(fields[i]))
      return Fail(E_FAIL, kInvalidTicket);
    numbers[i] = *n;
  }
  auto t = std::make_unique<TicketImpl>();
  t->version = numbers[0];
  t->reserved1 = numbers[1];
  t->issueTime = numbers[2];
  t->secondTime = numbers[3];
  t->reserved4 = numbers[4];
  t->reserved5 = numbers[5];
  t->realm = text::Widen(fields[6]);
  t->principal = text::Widen(fields[7]);
  t->reserved8 = numbers[8];
  t->reserved9 = numbers[9];
  t->reserved10 = numbers[10];
  t->reserved11 = numbers[11];
  return t;
}

Status CheckTicketTime(const TicketImpl& ticket, int64_t now, std::chrono::seconds lifetime) {
  const int64_t age = now - static_cast<int64_t>(ticket.issueTime);
  if (age > lifetime.count() || -age > kTicketClockSkew.count()) return Fail(E_FAIL, kInvalidTicket);
  return {};
}

}  // namespace quor::auth
