// The service core's own status codes and the texts every status is reported
// with. A service code is 0x81000000 + n; its text comes in English and
// Japanese. Standard component codes have their own standard texts; the low
// 16 bits of a code never select a service text on their own.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/com/hresult.h"
#include "platform/com/status.h"
#include "platform/text/language.h"

namespace quor::core {

constexpr HRESULT ServiceStatus(uint32_t n) { return static_cast<HRESULT>(0x81000000u + n); }
// Whether `status` lies in the service core's own range 0x8100xxxx.
constexpr bool IsServiceStatus(HRESULT status) {
  return (static_cast<uint32_t>(status) & 0xFFFF0000u) == 0x81000000u;
}

// The English text of each code follows it.
inline constexpr HRESULT QS_E_COLLAB_DB_FAILURE = ServiceStatus(0x01);                 // The Accessing to Collaboration Database was failed.
inline constexpr HRESULT QS_E_COLLAB_DB_NOT_INSTALLED = ServiceStatus(0x02);           // The Collaboration database is not installed.
inline constexpr HRESULT QS_E_USER_NOT_ATTENDEE = ServiceStatus(0x03);                 // The specified user is not attendee of active share field .
inline constexpr HRESULT QS_E_ATTENDEE_LIST_EMPTY = ServiceStatus(0x04);               // The attendee list of this active share field is empty.
inline constexpr HRESULT QS_E_FIELD_NOT_ACTIVE = ServiceStatus(0x05);                  // The specified field is not active status.
inline constexpr HRESULT QS_E_FIELD_ACTIVE = ServiceStatus(0x06);                      // The specified field is active status.
inline constexpr HRESULT QS_E_CONTENT_WRITE_RIGHT_REQUIRED = ServiceStatus(0x07);      // The access right to write content of QuorVesk is required.
inline constexpr HRESULT QS_E_CONTENT_READ_RIGHT_REQUIRED = ServiceStatus(0x08);       // The access right to read content of QuorVesk is required.
inline constexpr HRESULT QS_E_COLLAB_DB_CONNECT_FAILED = ServiceStatus(0x09);          // The accessing failure was happened in connecting Collaboration database.
inline constexpr HRESULT QS_E_CONFIG_INVALID_ROOT = ServiceStatus(0x0A);               // The config file has invalid root tag.
inline constexpr HRESULT QS_E_CONFIG_PARSE_EXCEPTION = ServiceStatus(0x0B);            // The exception happened in the config file parsing.
inline constexpr HRESULT QS_E_QUERY_EXECUTE_EXCEPTION = ServiceStatus(0x0C);           // The exception happened in executing query.
inline constexpr HRESULT QS_E_QUERY_CONVERSION_EXCEPTION = ServiceStatus(0x0D);        // The exception happened in query argument conversion.
inline constexpr HRESULT QS_E_TRANSFORMER_EXECUTE_EXCEPTION = ServiceStatus(0x0E);     // The exception happened in executing transformer.
inline constexpr HRESULT QS_E_UNIFICATION_EXCEPTION = ServiceStatus(0x0F);             // The exception happened in unification.
inline constexpr HRESULT QS_E_TRANSFORMER_CONFIG_INVALID = ServiceStatus(0x10);        // The transformer's config file Content is invalid.
inline constexpr HRESULT QS_E_TRANSFORMER_NOT_SPECIFIED = ServiceStatus(0x11);         // The transformer module was not specified in transform tag.
inline constexpr HRESULT QS_E_QUERY_FORMAT_INVALID = ServiceStatus(0x12);              // The query arugment format is invalid.
inline constexpr HRESULT QS_E_QUERY_ARG_NULL = ServiceStatus(0x13);                    // The query argument is NULL.
inline constexpr HRESULT QS_E_UNIFYTABLE_NOT_FOUND = ServiceStatus(0x14);              // The specified UnifyTable is not found.
inline constexpr HRESULT QS_E_HTTP_ACCESSOR_RESPONSE_INVALID = ServiceStatus(0x15);    // The HTTPAccessor Response is invalid.
inline constexpr HRESULT QS_E_PROVIDER_LIST_EXCEPTION = ServiceStatus(0x16);           // The exception happened in query provider list.
inline constexpr HRESULT QS_E_DSN_LIST_EXCEPTION = ServiceStatus(0x17);                // The exception happened in query DSN list.
inline constexpr HRESULT QS_E_CATALOG_LIST_EXCEPTION = ServiceStatus(0x18);            // The exception happened in query catalog list.
inline constexpr HRESULT QS_E_TABLE_LIST_EXCEPTION = ServiceStatus(0x19);              // The exception happened in query table list.
inline constexpr HRESULT QS_E_TRANSFORMER_LIST_EXCEPTION = ServiceStatus(0x1A);        // The exception happened in query transformer list.
inline constexpr HRESULT QS_E_LOG_DB_NOT_INSTALLED = ServiceStatus(0x1B);              // The Log database is not installed.
inline constexpr HRESULT QS_E_LOG_COUNT_INVALID = ServiceStatus(0x1C);                 // The specified log count value is invalid.
inline constexpr HRESULT QS_E_LOG_OBJECT_NOT_CREATED = ServiceStatus(0x1D);            // The new logobject could not be created.
inline constexpr HRESULT QS_E_LOG_CONTENT_INVALID = ServiceStatus(0x1E);               // Internal Error: The Log content is invalid.
inline constexpr HRESULT QS_E_RESUME_ID_NOT_FOUND = ServiceStatus(0x1F);               // The specified resumeID does not exist.
inline constexpr HRESULT QS_E_GET_ACL_INVALID_URI = ServiceStatus(0x20);               // Invalid URI is specified in GetACL.
inline constexpr HRESULT QS_E_PUT_ACL_INVALID_URI = ServiceStatus(0x21);               // Invalid URI is specified in PutACL.
inline constexpr HRESULT QS_E_UPDATE_ACL_INVALID_URI = ServiceStatus(0x22);            // Invalid URI is specified in UpdateACL.
inline constexpr HRESULT QS_E_DELETE_ACL_INVALID_URI = ServiceStatus(0x23);            // Invalid URI is specified in DeleteACL.
inline constexpr HRESULT QS_E_GET_ACL_ENTRY_INVALID_URI = ServiceStatus(0x24);         // Invalid URI is specified in GetACLEntry.
inline constexpr HRESULT QS_E_PUT_ACL_ENTRY_INVALID_URI = ServiceStatus(0x25);         // Invalid URI is specified in PutACLEntry.
inline constexpr HRESULT QS_E_UPDATE_ACL_ENTRY_INVALID_URI = ServiceStatus(0x26);      // Invalid URI is specified in UpdateACLEntry.
inline constexpr HRESULT QS_E_DELETE_ACL_ENTRY_INVALID_URI = ServiceStatus(0x27);      // Invalid URI is specified in DeleteACLEntry.
inline constexpr HRESULT QS_E_QUEUE_ENTRY_UNRECOGNIZED = ServiceStatus(0x29);          // Unrecognized queue entry is existing.
inline constexpr HRESULT QS_E_RESUME_ID_NOT_AVAILABLE = ServiceStatus(0x2A);           // The specified resumeID is not available.
inline constexpr HRESULT QS_E_CONFIG_FORMAT_INVALID = ServiceStatus(0x2B);             // The format of config file is invalid.
inline constexpr HRESULT QS_E_CONFIG_EMPTY = ServiceStatus(0x2C);                      // The config file is empty.
inline constexpr HRESULT QS_E_CONFIG_NOT_EXIST = ServiceStatus(0x2D);                  // QuorService config file does not exist.
inline constexpr HRESULT QS_E_CONFIG_LOAD_EXCEPTION = ServiceStatus(0x2E);             // The exception happened in loading config files.
inline constexpr HRESULT QS_E_UNIFYTABLE_FORMAT = ServiceStatus(0x2F);                 // The format of unifytable file is invalid.
inline constexpr HRESULT QS_E_UNIFYTABLE_EMPTY = ServiceStatus(0x30);                  // The unifytable file is empty.
inline constexpr HRESULT QS_E_UNIFYTABLE_LOAD_EXCEPTION = ServiceStatus(0x31);         // The exception happened in loading unifytable file.
inline constexpr HRESULT QS_E_TRANSFORM_FORMAT_INVALID = ServiceStatus(0x32);          // The format of transformer config file is invalid.
inline constexpr HRESULT QS_E_TRANSFORM_EMPTY = ServiceStatus(0x33);                   // The transformer config file is empty.
inline constexpr HRESULT QS_E_TRANSFORM_LOAD_EXCEPTION = ServiceStatus(0x34);          // The exception happened in loading transformer config file.
inline constexpr HRESULT QS_E_CONFIG_PARSE_EXCEPTION2 = ServiceStatus(0x35);           // The exception happened in parsing config file.
inline constexpr HRESULT QS_E_UNIFYTABLE_PARSE_EXCEPTION = ServiceStatus(0x36);        // The exception happened in parsing unifytable.
inline constexpr HRESULT QS_E_CONTENT_URI_EXCEPTION = ServiceStatus(0x37);             // The exception happened in creating QuorVesk Content URI.
inline constexpr HRESULT QS_E_RESOURCE_URI_EXCEPTION = ServiceStatus(0x38);            // The exception happened in creating QuorVesk Resource URI.
inline constexpr HRESULT QS_E_COLLAB_CONTENT_URI_EXCEPTION = ServiceStatus(0x39);      // The exception happened in creating Collaboration QuorVesk content URI.
inline constexpr HRESULT QS_E_ACL_USER_EXISTS = ServiceStatus(0x3A);                   // The specified user already exists in ACL.
inline constexpr HRESULT QS_E_ACL_NOT_FOUND = ServiceStatus(0x3B);                     // The specified QuorVesk does not have ACL.
inline constexpr HRESULT QS_E_ACL_NO_CONTROL = ServiceStatus(0x3C);                    // ACL does not have control tag.
inline constexpr HRESULT QS_E_ACL_USER_NOT_FOUND = ServiceStatus(0x3D);                // The specified ACL does not have specified user entry.
inline constexpr HRESULT QS_E_RESOURCE_DIR_EXCEPTION = ServiceStatus(0x3E);            // The exception happened in creating Vesk ResourceURI directory.
inline constexpr HRESULT QS_E_UNIFYTABLE_STRUCTURE = ServiceStatus(0x3F);              // The unifytable structure is invalid.
inline constexpr HRESULT QS_E_QUERY_ARG_INVALID = ServiceStatus(0x40);                 // The query argument is invalid.
inline constexpr HRESULT QS_E_QUERY_ARG_FORMAT_INVALID = ServiceStatus(0x41);          // The query argument format is invalid.
inline constexpr HRESULT QS_E_TARGET_TAG_UNSUPPORTED = ServiceStatus(0x42);            // The target tag has non supported tag.
inline constexpr HRESULT QS_E_CONDITION_TAG_INVALID = ServiceStatus(0x43);             // The condition tag has invalid content.
inline constexpr HRESULT QS_E_QUERY_TAG_UNSUPPORTED = ServiceStatus(0x44);             // The query argument has non supported tag.
inline constexpr HRESULT QS_E_SQL_BUILD_EXCEPTION = ServiceStatus(0x45);               // The exception happened in creating SQL statement.
inline constexpr HRESULT QS_E_TRANSFORM_TAG_INVALID = ServiceStatus(0x46);             // The transform tag has invalid content.
inline constexpr HRESULT QS_E_STORE_TAG_INVALID = ServiceStatus(0x47);                 // The store tag has invalid content.
inline constexpr HRESULT QS_E_UNIFICATION_SOURCE_INVALID = ServiceStatus(0x48);        // The unification source is invalid.
inline constexpr HRESULT QS_E_QUERY_RESULT_INVALID = ServiceStatus(0x49);              // The specified query result is invalid.
inline constexpr HRESULT QS_E_UNIFY_TARGET_TABLE_INVALID = ServiceStatus(0x4A);        // The unify target table is invalid.
inline constexpr HRESULT QS_E_NATIVE_DB_NOT_INSTALLED = ServiceStatus(0x4B);           // The Native database is not installed.
inline constexpr HRESULT QS_E_DELETE_RIGHT_REQUIRED = ServiceStatus(0x4C);             // The delete access right of QuorVesk is required.
inline constexpr HRESULT QS_E_VESK_CONTENT_NOT_FOUND = ServiceStatus(0x4D);            // The specified QuorVesk content does not exist.
inline constexpr HRESULT QS_E_VESK_RESOURCE_DB_NOT_INSTALLED = ServiceStatus(0x4E);    // The QuorVesk Resource database is not installed.
inline constexpr HRESULT QS_E_URI_NOT_SPECIFIED = ServiceStatus(0x4F);                 // URI is not specified.
inline constexpr HRESULT QS_E_RESOURCE_NOT_FOUND = ServiceStatus(0x50);                // The specified Resource does not exist.
inline constexpr HRESULT QS_E_URI_OR_CONTENT_NOT_SPECIFIED = ServiceStatus(0x51);      // URI or content is not specified.
inline constexpr HRESULT QS_E_VESK_CONTENT_MISSING = ServiceStatus(0x52);              // Internal Error: the specified QuorVesk did not have content value.
inline constexpr HRESULT QS_E_MEMORY_ALLOCATION_FAILED = ServiceStatus(0x53);          // Internal Error: memory allocation failed.
inline constexpr HRESULT QS_E_ATTRIBUTE_READ_RIGHT_REQUIRED = ServiceStatus(0x54);     // The access right to read attribute of QuorVesk is required.
inline constexpr HRESULT QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED = ServiceStatus(0x55);    // The access right to write attribute of QuorVesk is required.
inline constexpr HRESULT QS_E_USER_KEY_INVALID = ServiceStatus(0x56);                  // The specified user key is invalid.
inline constexpr HRESULT QS_E_USER_NAME_NOT_EXTRACTED = ServiceStatus(0x57);           // The actual username can't be extracted from the specified user key.
inline constexpr HRESULT QS_E_RESPONSE_KEY_NOT_CREATED = ServiceStatus(0x58);          // The response key can't be created.
inline constexpr HRESULT QS_E_RESOURCE_DIR_NOT_SET = ServiceStatus(0x59);              // Resource Directory is not set.
inline constexpr HRESULT QS_E_COLLAB_DB_ACCESS_FAILED = ServiceStatus(0x5A);           // The accessing to Collaboration database was failed.
inline constexpr HRESULT QS_E_TRANSFORMER_ACCESS_FAILED = ServiceStatus(0x5B);         // The accessing to Transformer module was failed.
inline constexpr HRESULT QS_E_HTTP_ACCESS_FAILED = ServiceStatus(0x5C);                // The accessing to HTTP content was failed.
inline constexpr HRESULT QS_E_ACCESSOR_ACCESS_FAILED = ServiceStatus(0x5D);            // The accessing to QuorAccessor module was failed.
inline constexpr HRESULT QS_E_LOG_DB_ACCESS_FAILED = ServiceStatus(0x5E);              // The accessing to Log database was failed.
inline constexpr HRESULT QS_E_VESK_DB_ACCESS_FAILED = ServiceStatus(0x5F);             // The accessing to QuorVesk database was failed.
inline constexpr HRESULT QS_E_AUTH_SERVER_CONNECT_FAILED = ServiceStatus(0x60);        // Fail to connect Authentication Server.
inline constexpr HRESULT QS_E_OWNER_ONLY = ServiceStatus(0x61);                        // Only owner can execute this function.
inline constexpr HRESULT QS_E_ALREADY_ATTENDEE = ServiceStatus(0x62);                  // The specified user is already attendee.
inline constexpr HRESULT QS_E_SHARE_FIELD_ATTRIBUTE_INVALID = ServiceStatus(0x63);     // The attribute of specified sharing field is invalid.
inline constexpr HRESULT QS_E_ATTRIBUTE_DELETE_RIGHT_REQUIRED = ServiceStatus(0x64);   // The access right to delete attribute of QuorVesk is required.
inline constexpr HRESULT QS_E_CONTENT_DELETE_RIGHT_REQUIRED = ServiceStatus(0x65);     // The access right to delete content of QuorVesk is required.
inline constexpr HRESULT QS_E_SHARE_MESSAGE_EXISTS = ServiceStatus(0x66);              // The message of sharing filed is already existing.
inline constexpr HRESULT QS_E_USER_RIGHT_INSUFFICIENT = ServiceStatus(0x67);           // The specified user doesn't have enough access right.
inline constexpr HRESULT QS_E_CANNOT_DELETE_OWNER = ServiceStatus(0x68);               // This function can't delete owner.
inline constexpr HRESULT QS_E_VESK_ATTRIBUTES_INVALID = ServiceStatus(0x69);           // The attributes of specified QuorVesk are invalid.
inline constexpr HRESULT QS_E_RESOURCE_URL_NOT_SET = ServiceStatus(0x6A);              // Resource URL is not set.
inline constexpr HRESULT QS_E_ADMINISTRATOR_ONLY = ServiceStatus(0x6B);                // Only administrator can execute this function.
inline constexpr HRESULT QS_E_GROUP_TAG_INVALID = ServiceStatus(0x6C);                 // Group tag value in query argument is invalid.
inline constexpr HRESULT QS_E_ORDER_TAG_INVALID = ServiceStatus(0x6D);                 // Order tag value in query argument is invalid.
inline constexpr HRESULT QS_E_OPTION_TAG_INVALID = ServiceStatus(0x6E);                // Option tag in query argument is invalid.
inline constexpr HRESULT QS_E_VESK_ALREADY_LOCKED = ServiceStatus(0x6F);               // The specified Vesk has been locked already.
inline constexpr HRESULT QS_E_UNLOCK_NOT_ALLOWED = ServiceStatus(0x70);                // Only lock owner or administrator can unlock
inline constexpr HRESULT QS_E_VESK_LOCKED_BY_OTHER = ServiceStatus(0x71);              // Updating was failed as Vesk was locked by another user.
inline constexpr HRESULT QS_E_URI_INVALID = ServiceStatus(0x72);                       // The specified URI is invalid.
inline constexpr HRESULT QS_E_SHARE_FIELD_ALREADY_LOCKED = ServiceStatus(0x73);        // The specified share field has been locked already.
inline constexpr HRESULT QS_E_SHARE_FIELD_LOCKED_BY_OTHER = ServiceStatus(0x74);       // Updating was failed as share field was locked by another user.
inline constexpr HRESULT QS_E_VESK_EXISTS = ServiceStatus(0x75);                       // The specified Vesk is already existing.
inline constexpr HRESULT QS_E_OBJECT_LOCKED = ServiceStatus(0x76);                     // The specified object is locked.
inline constexpr HRESULT QS_E_ACCESS_RIGHT_INSUFFICIENT = ServiceStatus(0x77);         // Your access right is not enough to execute this function.
inline constexpr HRESULT QS_E_SESSION_NOT_FOUND = ServiceStatus(0x78);                 // Your session can't be found.
inline constexpr HRESULT QS_E_GROUP_NAME_INVALID = ServiceStatus(0x79);                // The specified group name is invalid.
inline constexpr HRESULT QS_E_CONTENT_TAG_MISSING = ServiceStatus(0x7A);               // Content tag was not specified on query argument.
inline constexpr HRESULT QS_E_CONFIG_UNDEFINED_KEYWORD = ServiceStatus(0x7B);          // The config file has undefined keyword tag.
inline constexpr HRESULT QS_E_QUERY_TARGET_INVALID = ServiceStatus(0x7C);              // The target content of query argument is invalid.
inline constexpr HRESULT QS_E_ROWCOUNT_TAG_INVALID = ServiceStatus(0x7D);              // The content of rowcount tag is invalid.
inline constexpr HRESULT QS_E_NAME_NOT_SPECIFIED = ServiceStatus(0x7E);                // Name argument is not specified.
inline constexpr HRESULT QS_E_RESOURCE_URL_UPDATE_FAILED = ServiceStatus(0x7F);        // The updating of Vesk Resource URL value was failed.
inline constexpr HRESULT QS_E_RESOURCE_ENTRY_INVALID = ServiceStatus(0x80);            // The value of Vesk Resource Database entry was invalid.
inline constexpr HRESULT QS_E_RESOURCE_ATTRIBUTE_UPDATE_FAILED = ServiceStatus(0x81);  // The updating of Vesk Resource Attribute value was failed.
inline constexpr HRESULT QS_E_NAME_INVALID = ServiceStatus(0x82);                      // Name argument was invalid.
inline constexpr HRESULT QS_E_ACL_TOO_LONG = ServiceStatus(0x83);                      // ACL string is too long.
inline constexpr HRESULT QS_E_CONFERENCE_URL_NOT_SET = ServiceStatus(0x84);            // Conference Manager URL is not set.
inline constexpr HRESULT QS_E_XML_LOAD_FAILED = ServiceStatus(0x85);                   // XML Loading was failed.
inline constexpr HRESULT QS_E_ARGUMENT_NULL = ServiceStatus(0x86);                     // The argument is NULL.
inline constexpr HRESULT QS_E_ARGUMENT_INVALID = ServiceStatus(0x87);                  // The argument is invalid.
inline constexpr HRESULT QS_E_DIRECTORY_NOT_CREATED = ServiceStatus(0x88);             // The server can't create new directory.
inline constexpr HRESULT QS_E_RESOURCE_ATTRIBUTE_REMOVE_FAILED = ServiceStatus(0x8E);  // The removing of Vesk Resource Attribute value was failed.

// The message language and how the locale picks it (platform/text/language.h).
using text::Language;
using text::LanguageFromLocale;
using text::ProcessLanguage;

// One service code with its texts (UTF-8).
struct StatusTextEntry {
  HRESULT status;
  std::string_view english;
  std::string_view japanese;
};

// Every service code, in ascending order.
std::span<const StatusTextEntry> ServiceStatusTexts();

// Whether `status` is a service code or a standard code listed here, with a
// text or (E_NOTIMPL) without one.
bool IsKnownStatus(HRESULT status);
// How a failure whose status the service has no text of its own for is told:
// by the driver's words when the repository's driver reported it (it carries
// a SQLSTATE), else by the code's generic text.
std::string UnknownStatusText(const Status& failure);
// The text of `status` (UTF-8): a service code's own text, a standard code's
// standard text, empty for anything else. The view refers to static text.
std::string_view StatusText(HRESULT status, Language language);
inline std::string_view StatusText(HRESULT status) { return StatusText(status, ProcessLanguage()); }

}  // namespace quor::core
