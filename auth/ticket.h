// Tickets: the proof of a sign-in, sealed and signed by the server
// (sealed.h), which only the issuing process can read.
//
// Plain text: the twelve fields in order joined by ":", numbers in unsigned
// decimal. A realm or principal containing ":" (or a zero character) is
// refused when the ticket is made, and reading requires exactly twelve
// fields, so no field can spill into the next.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "auth/mac.h"
#include "platform/com/status.h"

namespace quor::auth {

struct TicketImpl {
  uint32_t version = 256;
  uint32_t reserved1 = 0;
  uint32_t issueTime = 0;   // seconds since 1970: the second clock reading
  uint32_t secondTime = 0;  // seconds since 1970: the first reading
  uint32_t reserved4 = 0;   // all bits set in an issued ticket
  uint32_t reserved5 = 0;
  std::u16string realm;
  std::u16string principal;
  uint32_t reserved8 = 0;
  uint32_t reserved9 = 0;
  uint32_t reserved10 = 0;
  uint32_t reserved11 = 0;

  // The ticket CreateTicket issues: times from two clock readings (the first
  // reading goes to secondTime), field 4 all bits set.
  static TicketImpl Issued(std::u16string realm, std::u16string principal, uint32_t firstReading,
                           uint32_t secondReading);
  bool operator==(const TicketImpl&) const = default;
};

// The ticket text, sealed with the process's server secret key (or the one
// given). E_INVALIDARG for a realm or principal with ":" or a zero character.
Result<std::u16string> MakeTicketText(const TicketImpl& ticket);
Result<std::u16string> MakeTicketText(const TicketImpl& ticket, std::span<const uint8_t> secretKeyBlob);

// The ticket in a text. A signature that does not match, or a plain text that
// is not twelve well-formed fields: E_FAIL "Invalid Ticket". A ciphertext of
// the wrong length or padding: the crypto error "CryptDecrypt", checked first.
Result<std::unique_ptr<TicketImpl>> ParseTicket(std::u16string_view text);
Result<std::unique_ptr<TicketImpl>> ParseTicket(std::u16string_view text, std::span<const uint8_t> secretKeyBlob);

// How far ahead of the clock an issue time may lie (the clock set back
// since the ticket was issued).
inline constexpr std::chrono::seconds kTicketClockSkew{300};

// Checks the ticket's issue time against `now` (seconds since 1970):
// E_FAIL "Invalid Ticket" when it was issued more than `lifetime` ago or
// lies more than kTicketClockSkew ahead, so a captured ticket does not open
// sessions for ever.
Status CheckTicketTime(const TicketImpl& ticket, int64_t now, std::chrono::seconds lifetime);

}  // namespace quor::auth
