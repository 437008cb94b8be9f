#include "core/StatusCodes.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace quor::core {
namespace {

constexpr std::array<StatusTextEntry, 136> kServiceTexts = {{
    {QS_E_COLLAB_DB_FAILURE, "The Accessing to Collaboration Database was failed.",
     "コラボレーションデータベースへのアクセスに失敗しました。"},
    {QS_E_COLLAB_DB_NOT_INSTALLED, "The Collaboration database is not installed.",
     "コラボレーションデータベースがインストールされていません。"},
    {QS_E_USER_NOT_ATTENDEE, "The specified user is not attendee of active share field .",
     "指定されたユーザーは、アクティブな共有フィールドの参加者ではありません。"},
    {QS_E_ATTENDEE_LIST_EMPTY, "The attendee list of this active share field is empty.",
     "このアクティブな共有フィールドの参加者リストは空です。"},
    {QS_E_FIELD_NOT_ACTIVE, "The specified field is not active status.",
     "指定されたフィールドはアクティブ状態ではありません。"},
    {QS_E_FIELD_ACTIVE, "The specified field is active status.", "指定されたフィールドはアクティブ状態です。"},
    {QS_E_CONTENT_WRITE_RIGHT_REQUIRED, "The access right to write content of QuorVesk is required.",
     "QuorVesk のコンテンツへの書き込み権限が必要です。"},
    {QS_E_CONTENT_READ_RIGHT_REQUIRED, "The access right to read content of QuorVesk is required.",
     "QuorVesk のコンテンツの読み取り権限が必要です。"},
    {QS_E_COLLAB_DB_CONNECT_FAILED, "The accessing failure was happened in connecting Collaboration database.",
     "コラボレーションデータベースへの接続中にアクセスエラーが発生しました。"},
    {QS_E_CONFIG_INVALID_ROOT, "The config file has invalid root tag.", "設定ファイルのルートタグが無効です。"},
    {QS_E_CONFIG_PARSE_EXCEPTION, "The exception happened in the config file parsing.",
     "設定ファイルの解析中に例外が発生しました。"},
    {QS_E_QUERY_EXECUTE_EXCEPTION, "The exception happened in executing query.",
     "クエリの実行中に例外が発生しました。"},
    {QS_E_QUERY_CONVERSION_EXCEPTION, "The exception happened in query argument conversion.",
     "クエリ引数の変換中に例外が発生しました。"},
    {QS_E_TRANSFORMER_EXECUTE_EXCEPTION, "The exception happened in executing transformer.",
     "トランスフォーマーの実行中に例外が発生しました。"},
    {QS_E_UNIFICATION_EXCEPTION, "The exception happened in unification.",
     "ユニファイ処理中に例外が発生しました。"},
    {QS_E_TRANSFORMER_CONFIG_INVALID, "The transformer's config file Content is invalid.",
     "トランスフォーマー設定ファイルの内容が無効です。"},
    {QS_E_TRANSFORMER_NOT_SPECIFIED, "The transformer module was not specified in transform tag.",
     "transform タグにトランスフォーマーモジュールが指定されていません。"},
    {QS_E_QUERY_FORMAT_INVALID, "The query arugment format is invalid.", "クエリ引数の書式が正しくありません。"},
    {QS_E_QUERY_ARG_NULL, "The query argument is NULL.", "クエリ引数が NULL です。"},
    {QS_E_UNIFYTABLE_NOT_FOUND, "The specified UnifyTable is not found.",
     "指定されたユニファイテーブルが見つかりません。"},
    {QS_E_HTTP_ACCESSOR_RESPONSE_INVALID, "The HTTPAccessor Response is invalid.",
     "HTTPAccessor の応答が無効です。"},
    {QS_E_PROVIDER_LIST_EXCEPTION, "The exception happened in query provider list.",
     "プロバイダー一覧の取得中に例外が発生しました。"},
    {QS_E_DSN_LIST_EXCEPTION, "The exception happened in query DSN list.",
     "DSN 一覧の取得中に例外が発生しました。"},
    {QS_E_CATALOG_LIST_EXCEPTION, "The exception happened in query catalog list.",
     "カタログ一覧の取得中に例外が発生しました。"},
    {QS_E_TABLE_LIST_EXCEPTION, "The exception happened in query table list.",
     "テーブル一覧の取得中に例外が発生しました。"},
    {QS_E_TRANSFORMER_LIST_EXCEPTION, "The exception happened in query transformer list.",
     "トランスフォーマー一覧の取得中に例外が発生しました。"},
    {QS_E_LOG_DB_NOT_INSTALLED, "The Log database is not installed.",
     "ログデータベースがインストールされていません。"},
    {QS_E_LOG_COUNT_INVALID, "The specified log count value is invalid.", "指定されたログ件数の値が無効です。"},
    {QS_E_LOG_OBJECT_NOT_CREATED, "The new logobject could not be created.",
     "新しいログオブジェクトを作成できませんでした。"},
    {QS_E_LOG_CONTENT_INVALID, "Internal Error: The Log content is invalid.", "内部エラー: ログの内容が無効です。"},
    {QS_E_RESUME_ID_NOT_FOUND, "The specified resumeID does not exist.", "指定された resumeID は存在しません。"},
    {QS_E_GET_ACL_INVALID_URI, "Invalid URI is specified in GetACL.", "GetACL に無効な URI が指定されました。"},
    {QS_E_PUT_ACL_INVALID_URI, "Invalid URI is specified in PutACL.", "PutACL に無効な URI が指定されました。"},
    {QS_E_UPDATE_ACL_INVALID_URI, "Invalid URI is specified in UpdateACL.",
     "UpdateACL に無効な URI が指定されました。"},
    {QS_E_DELETE_ACL_INVALID_URI, "Invalid URI is specified in DeleteACL.",
     "DeleteACL に無効な URI が指定されました。"},
    {QS_E_GET_ACL_ENTRY_INVALID_URI, "Invalid URI is specified in GetACLEntry.",
     "GetACLEntry に無効な URI が指定されました。"},
    {QS_E_PUT_ACL_ENTRY_INVALID_URI, "Invalid URI is specified in PutACLEntry.",
     "PutACLEntry に無効な URI が指定されました。"},
    {QS_E_UPDATE_ACL_ENTRY_INVALID_URI, "Invalid URI is specified in UpdateACLEntry.",
     "UpdateACLEntry に無効な URI が指定されました。"},
    {QS_E_DELETE_ACL_ENTRY_INVALID_URI, "Invalid URI is specified in DeleteACLEntry.",
     "DeleteACLEntry に無効な URI が指定されました。"},
    {QS_E_QUEUE_ENTRY_UNRECOGNIZED, "Unrecognized queue entry is existing.",
     "認識できないキューエントリが存在します。"},
    {QS_E_RESUME_ID_NOT_AVAILABLE, "The specified resumeID is not available.",
     "指定された resumeID は使用できません。"},
    {QS_E_CONFIG_FORMAT_INVALID, "The format of config file is invalid.", "設定ファイルの形式が無効です。"},
    {QS_E_CONFIG_EMPTY, "The config file is empty.", "設定ファイルが空です。"},
    {QS_E_CONFIG_NOT_EXIST, "QuorService config file does not exist.", "QuorService の設定ファイルが存在しません。"},
    {QS_E_CONFIG_LOAD_EXCEPTION, "The exception happened in loading config files.",
     "設定ファイルの読み込み中に例外が発生しました。"},
    {QS_E_UNIFYTABLE_FORMAT, "The format of unifytable file is invalid.",
     "ユニファイテーブルファイルの形式が無効です。"},
    {QS_E_UNIFYTABLE_EMPTY, "The unifytable file is empty.", "ユニファイテーブルファイルが空です。"},
    {QS_E_UNIFYTABLE_LOAD_EXCEPTION, "The exception happened in loading unifytable file.",
     "ユニファイテーブルファイルの読み込み中に例外が発生しました。"},
    {QS_E_TRANSFORM_FORMAT_INVALID, "The format of transformer config file is invalid.",
     "トランスフォーマー設定ファイルの形式が無効です。"},
    {QS_E_TRANSFORM_EMPTY, "The transformer config file is empty.", "トランスフォーマー設定ファイルが空です。"},
    {QS_E_TRANSFORM_LOAD_EXCEPTION, "The exception happened in loading transformer config file.",
     "トランスフォーマー設定ファイルの読み込み中に例外が発生しました。"},
    {QS_E_CONFIG_PARSE_EXCEPTION2, "The exception happened in parsing config file.",
     "設定ファイルの解析処理中に例外が発生しました。"},
    {QS_E_UNIFYTABLE_PARSE_EXCEPTION, "The exception happened in parsing unifytable.",
     "ユニファイテーブルの解析中に例外が発生しました。"},
    {QS_E_CONTENT_URI_EXCEPTION, "The exception happened in creating QuorVesk Content URI.",
     "QuorVesk コンテンツ URI の作成中に例外が発生しました。"},
    {QS_E_RESOURCE_URI_EXCEPTION, "The exception happened in creating QuorVesk Resource URI.",
     "QuorVesk リソース URI の作成中に例外が発生しました。"},
    {QS_E_COLLAB_CONTENT_URI_EXCEPTION, "The exception happened in creating Collaboration QuorVesk content URI.",
     "コラボレーション用 QuorVesk コンテンツ URI の作成中に例外が発生しました。"},
    {QS_E_ACL_USER_EXISTS, "The specified user already exists in ACL.",
     "指定されたユーザーは既に ACL に存在します。"},
    {QS_E_ACL_NOT_FOUND, "The specified QuorVesk does not have ACL.", "指定された QuorVesk には ACL がありません。"},
    {QS_E_ACL_NO_CONTROL, "ACL does not have control tag.", "ACL に control タグがありません。"},
    {QS_E_ACL_USER_NOT_FOUND, "The specified ACL does not have specified user entry.",
     "指定された ACL に、指定されたユーザーのエントリがありません。"},
    {QS_E_RESOURCE_DIR_EXCEPTION, "The exception happened in creating Vesk ResourceURI directory.",
     "Vesk リソース URI のディレクトリの作成中に例外が発生しました。"},
    {QS_E_UNIFYTABLE_STRUCTURE, "The unifytable structure is invalid.",
     "ユニファイテーブルの構造が無効です。"},
    {QS_E_QUERY_ARG_INVALID, "The query argument is invalid.", "クエリ引数が無効です。"},
    {QS_E_QUERY_ARG_FORMAT_INVALID, "The query argument format is invalid.", "クエリ引数の形式が無効です。"},
    {QS_E_TARGET_TAG_UNSUPPORTED, "The target tag has non supported tag.",
     "target タグにサポートされていないタグが含まれています。"},
    {QS_E_CONDITION_TAG_INVALID, "The condition tag has invalid content.", "condition タグの内容が無効です。"},
    {QS_E_QUERY_TAG_UNSUPPORTED, "The query argument has non supported tag.",
     "クエリ引数にサポートされていないタグが含まれています。"},
    {QS_E_SQL_BUILD_EXCEPTION, "The exception happened in creating SQL statement.",
     "SQL 文の作成中に例外が発生しました。"},
    {QS_E_TRANSFORM_TAG_INVALID, "The transform tag has invalid content.", "transform タグの内容が無効です。"},
    {QS_E_STORE_TAG_INVALID, "The store tag has invalid content.", "store タグの内容が無効です。"},
    {QS_E_UNIFICATION_SOURCE_INVALID, "The unification source is invalid.", "ユニファイ元のデータが無効です。"},
    {QS_E_QUERY_RESULT_INVALID, "The specified query result is invalid.", "指定されたクエリ結果が無効です。"},
    {QS_E_UNIFY_TARGET_TABLE_INVALID, "The unify target table is invalid.", "ユニファイ先のテーブルが無効です。"},
    {QS_E_NATIVE_DB_NOT_INSTALLED, "The Native database is not installed.",
     "ネイティブデータベースがインストールされていません。"},
    {QS_E_DELETE_RIGHT_REQUIRED, "The delete access right of QuorVesk is required.",
     "QuorVesk の削除権限が必要です。"},
    {QS_E_VESK_CONTENT_NOT_FOUND, "The specified QuorVesk content does not exist.",
     "指定された QuorVesk コンテンツは存在しません。"},
    {QS_E_VESK_RESOURCE_DB_NOT_INSTALLED, "The QuorVesk Resource database is not installed.",
     "QuorVesk リソースデータベースがインストールされていません。"},
    {QS_E_URI_NOT_SPECIFIED, "URI is not specified.", "URI が指定されていません。"},
    {QS_E_RESOURCE_NOT_FOUND, "The specified Resource does not exist.", "指定されたリソースは存在しません。"},
    {QS_E_URI_OR_CONTENT_NOT_SPECIFIED, "URI or content is not specified.",
     "URI またはコンテンツが指定されていません。"},
    {QS_E_VESK_CONTENT_MISSING, "Internal Error: the specified QuorVesk did not have content value.",
     "内部エラー: 指定された QuorVesk にコンテンツの値がありません。"},
    {QS_E_MEMORY_ALLOCATION_FAILED, "Internal Error: memory allocation failed.",
     "内部エラー: メモリの割り当てに失敗しました。"},
    {QS_E_ATTRIBUTE_READ_RIGHT_REQUIRED, "The access right to read attribute of QuorVesk is required.",
     "QuorVesk の属性の読み取り権限が必要です。"},
    {QS_E_ATTRIBUTE_WRITE_RIGHT_REQUIRED, "The access right to write attribute of QuorVesk is required.",
     "QuorVesk の属性への書き込み権限が必要です。"},
    {QS_E_USER_KEY_INVALID, "The specified user key is invalid.", "指定されたユーザーキーが無効です。"},
    {QS_E_USER_NAME_NOT_EXTRACTED, "The actual username can't be extracted from the specified user key.",
     "指定されたユーザーキーから実際のユーザー名を取得できません。"},
    {QS_E_RESPONSE_KEY_NOT_CREATED, "The response key can't be created.", "レスポンスキーを作成できません。"},
    {QS_E_RESOURCE_DIR_NOT_SET, "Resource Directory is not set.", "リソースディレクトリが設定されていません。"},
    {QS_E_COLLAB_DB_ACCESS_FAILED, "The accessing to Collaboration database was failed.",
     "コラボレーションデータベースへのアクセスに失敗しました。"},
    {QS_E_TRANSFORMER_ACCESS_FAILED, "The accessing to Transformer module was failed.",
     "トランスフォーマーモジュールへのアクセスに失敗しました。"},
    {QS_E_HTTP_ACCESS_FAILED, "The accessing to HTTP content was failed.",
     "HTTP コンテンツへのアクセスに失敗しました。"},
    {QS_E_ACCESSOR_ACCESS_FAILED, "The accessing to QuorAccessor module was failed.",
     "QuorAccessor モジュールへのアクセスに失敗しました。"},
    {QS_E_LOG_DB_ACCESS_FAILED, "The accessing to Log database was failed.",
     "ログデータベースへのアクセスに失敗しました。"},
    {QS_E_VESK_DB_ACCESS_FAILED, "The accessing to QuorVesk database was failed.",
     "QuorVesk データベースへのアクセスに失敗しました。"},
    {QS_E_AUTH_SERVER_CONNECT_FAILED, "Fail to connect Authentication Server.", "認証サーバーに接続できませんでした。"},
    {QS_E_OWNER_ONLY, "Only owner can execute this function.", "この機能は所有者のみが実行できます。"},
    {QS_E_ALREADY_ATTENDEE, "The specified user is already attendee.", "指定されたユーザーは既に参加者です。"},
    {QS_E_SHARE_FIELD_ATTRIBUTE_INVALID, "The attribute of specified sharing field is invalid.",
     "指定された共有フィールドの属性が無効です。"},
    {QS_E_ATTRIBUTE_DELETE_RIGHT_REQUIRED, "The access right to delete attribute of QuorVesk is required.",
     "QuorVesk の属性の削除権限が必要です。"},
    {QS_E_CONTENT_DELETE_RIGHT_REQUIRED, "The access right to delete content of QuorVesk is required.",
     "QuorVesk のコンテンツの削除権限が必要です。"},
    {QS_E_SHARE_MESSAGE_EXISTS, "The message of sharing filed is already existing.",
     "共有フィールドのメッセージは既に存在します。"},
    {QS_E_USER_RIGHT_INSUFFICIENT, "The specified user doesn't have enough access right.",
     "指定されたユーザーには十分なアクセス権限がありません。"},
    {QS_E_CANNOT_DELETE_OWNER, "This function can't delete owner.", "この機能では所有者を削除できません。"},
    {QS_E_VESK_ATTRIBUTES_INVALID, "The attributes of specified QuorVesk are invalid.",
     "指定された QuorVesk の属性が無効です。"},
    {QS_E_RESOURCE_URL_NOT_SET, "Resource URL is not set.", "リソース URL が設定されていません。"},
    {QS_E_ADMINISTRATOR_ONLY, "Only administrator can execute this function.", "この機能は管理者のみが実行できます。"},
    {QS_E_GROUP_TAG_INVALID, "Group tag value in query argument is invalid.",
     "クエリ引数の group タグの値が無効です。"},
    {QS_E_ORDER_TAG_INVALID, "Order tag value in query argument is invalid.",
     "クエリ引数の order タグの値が無効です。"},
    {QS_E_OPTION_TAG_INVALID, "Option tag in query argument is invalid.", "クエリ引数の option タグが無効です。"},
    {QS_E_VESK_ALREADY_LOCKED, "The specified Vesk has been locked already.", "指定された Vesk は既にロックされています。"},
    {QS_E_UNLOCK_NOT_ALLOWED, "Only lock owner or administrator can unlock",
     "ロックを解除できるのは、ロックの所有者または管理者のみです。"},
    {QS_E_VESK_LOCKED_BY_OTHER, "Updating was failed as Vesk was locked by another user.",
     "Vesk が他のユーザーによってロックされているため、更新に失敗しました。"},
    {QS_E_URI_INVALID, "The specified URI is invalid.", "指定された URI が無効です。"},
    {QS_E_SHARE_FIELD_ALREADY_LOCKED, "The specified share field has been locked already.",
     "指定された共有フィールドは既にロックされています。"},
    {QS_E_SHARE_FIELD_LOCKED_BY_OTHER, "Updating was failed as share field was locked by another user.",
     "共有フィールドが他のユーザーによってロックされているため、更新に失敗しました。"},
    {QS_E_VESK_EXISTS, "The specified Vesk is already existing.", "指定された Vesk は既に存在します。"},
    {QS_E_OBJECT_LOCKED, "The specified object is locked.", "指定されたオブジェクトはロックされています。"},
    {QS_E_ACCESS_RIGHT_INSUFFICIENT, "Your access right is not enough to execute this function.",
     "この機能を実行するためのアクセス権限が不足しています。"},
    {QS_E_SESSION_NOT_FOUND, "Your session can't be found.", "セッションが見つかりません。"},
    {QS_E_GROUP_NAME_INVALID, "The specified group name is invalid.", "指定されたグループ名が無効です。"},
    {QS_E_CONTENT_TAG_MISSING, "Content tag was not specified on query argument.",
     "クエリ引数に content タグが指定されていません。"},
    {QS_E_CONFIG_UNDEFINED_KEYWORD, "The config file has undefined keyword tag.",
     "設定ファイルに未定義のキーワードタグがあります。"},
    {QS_E_QUERY_TARGET_INVALID, "The target content of query argument is invalid.",
     "クエリ引数の target の内容が無効です。"},
    {QS_E_ROWCOUNT_TAG_INVALID, "The content of rowcount tag is invalid.", "rowcount タグの内容が無効です。"},
    {QS_E_NAME_NOT_SPECIFIED, "Name argument is not specified.", "名前の引数が指定されていません。"},
    {QS_E_RESOURCE_URL_UPDATE_FAILED, "The updating of Vesk Resource URL value was failed.",
     "Vesk リソース URL の値の更新に失敗しました。"},
    {QS_E_RESOURCE_ENTRY_INVALID, "The value of Vesk Resource Database entry was invalid.",
     "Vesk リソースデータベースのエントリの値が無効です。"},
    {QS_E_RESOURCE_ATTRIBUTE_UPDATE_FAILED, "The updating of Vesk Resource Attribute value was failed.",
     "Vesk リソース属性の値の更新に失敗しました。"},
    {QS_E_NAME_INVALID, "Name argument was invalid.", "名前の引数が無効です。"},
    {QS_E_ACL_TOO_LONG, "ACL string is too long.", "ACL 文字列が長すぎます。"},
    {QS_E_CONFERENCE_URL_NOT_SET, "Conference Manager URL is not set.",
     "Conference Manager の URL が設定されていません。"},
    {QS_E_XML_LOAD_FAILED, "XML Loading was failed.", "XML の読み込みに失敗しました。"},
    {QS_E_ARGUMENT_NULL, "The argument is NULL.", "引数が NULL です。"},
    {QS_E_ARGUMENT_INVALID, "The argument is invalid.", "引数が無効です。"},
    {QS_E_DIRECTORY_NOT_CREATED, "The server can't create new directory.",
     "サーバーで新しいディレクトリを作成できません。"},
    {QS_E_RESOURCE_ATTRIBUTE_REMOVE_FAILED, "The removing of Vesk Resource Attribute value was failed.",
     "Vesk リソース属性の値の削除に失敗しました。"},
}};

// Looked up by binary search, so the order is checked where it is written.
static_assert(std::ranges::is_sorted(kServiceTexts, {}, [](const StatusTextEntry& e) {
  return static_cast<uint32_t>(e.status);
}));
static_assert(std::ranges::adjacent_find(kServiceTexts, {}, &StatusTextEntry::status) == kServiceTexts.end());

// The standard component codes the service passes through. The English texts
// match platform/com's; interface-defined codes (0x80040200 and up) are
// left out, since their meaning belongs to the interface that returned them.
// E_NOTIMPL is known and reported without a text: the requests that answer
// it have no server side, and the service's own table holds none for it.
constexpr std::array<StatusTextEntry, 33> kStandardTexts = {{
    {E_UNEXPECTED, "Catastrophic failure", "致命的なエラーが発生しました。"},
    {E_NOTIMPL, "", ""},
    {E_NOINTERFACE, "No such interface supported", "サポートされていないインターフェイスです。"},
    {E_POINTER, "Invalid pointer", "無効なポインターです。"},
    {E_ABORT, "Operation aborted", "操作は中止されました。"},
    {E_FAIL, "Unspecified error", "エラーを特定できません。"},
    {E_ACCESSDENIED, "Access is denied", "アクセスが拒否されました。"},
    {E_HANDLE, "Invalid handle", "無効なハンドルです。"},
    {E_OUTOFMEMORY, "Out of memory", "メモリが不足しています。"},
    {E_INVALIDARG, "The parameter is incorrect", "パラメーターが正しくありません。"},
    {DISP_E_UNKNOWNINTERFACE, "Unknown interface", "不明なインターフェイスです。"},
    {DISP_E_MEMBERNOTFOUND, "Member not found", "メンバーが見つかりません。"},
    {DISP_E_PARAMNOTFOUND, "Parameter not found", "パラメーターが見つかりません。"},
    {DISP_E_TYPEMISMATCH, "Type mismatch", "型が一致しません。"},
    {DISP_E_UNKNOWNNAME, "Unknown name", "不明な名前です。"},
    {DISP_E_NONAMEDARGS, "No named arguments", "名前付き引数は使用できません。"},
    {DISP_E_BADVARTYPE, "Bad variable type", "変数の型が正しくありません。"},
    {DISP_E_EXCEPTION, "Exception occurred", "例外が発生しました。"},
    {DISP_E_OVERFLOW, "Out of present range", "値が範囲外です。"},
    {DISP_E_BADINDEX, "Invalid index", "インデックスが無効です。"},
    {DISP_E_BADPARAMCOUNT, "Invalid number of parameters", "パラメーターの数が正しくありません。"},
    {DISP_E_PARAMNOTOPTIONAL, "Parameter not optional", "省略できないパラメーターが指定されていません。"},
    {TYPE_E_ELEMENTNOTFOUND, "Element not found", "要素が見つかりません。"},
    {CLASS_E_NOAGGREGATION, "Class does not support aggregation", "このクラスは集約をサポートしていません。"},
    {CLASS_E_CLASSNOTAVAILABLE, "Class factory cannot supply requested class",
     "クラスファクトリは要求されたクラスを提供できません。"},
    {REGDB_E_READREGDB, "Could not read key from registry", "レジストリからキーを読み取れませんでした。"},
    {REGDB_E_WRITEREGDB, "Could not write key to registry", "レジストリにキーを書き込めませんでした。"},
    {REGDB_E_CLASSNOTREG, "Class not registered", "クラスが登録されていません。"},
    {CO_E_NOTINITIALIZED, "The component runtime has not been initialized",
     "コンポーネントランタイムが初期化されていません。"},
    {CO_E_CLASSSTRING, "Invalid class string", "クラス文字列が無効です。"},
    {CO_E_DLLNOTFOUND, "Component server library not found", "コンポーネントサーバーのライブラリが見つかりません。"},
    {CO_E_ERRORINDLL, "Error in the component server library", "コンポーネントサーバーのライブラリでエラーが発生しました。"},
    {HRESULT_BAD_EXE_FORMAT, "Not a valid shared library", "有効な共有ライブラリではありません。"},
}};

std::string_view Pick(const StatusTextEntry& entry, Language language) {
  return language == Language::Japanese ? entry.japanese : entry.english;
}

}  // namespace

Language LanguageFromLocale(std::string_view localeName) {
  return localeName.starts_with("ja") ? Language::Japanese : Language::English;
}

Language ProcessLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return LanguageFromLocale(value);
  }
  return Language::English;
}

std::span<const StatusTextEntry> ServiceStatusTexts() { return kServiceTexts; }

namespace {

const StatusTextEntry* FindEntry(HRESULT status) {
  if (IsServiceStatus(status)) {
    const auto key = static_cast<uint32_t>(status);
    const auto it = std::ranges::lower_bound(kServiceTexts, key, {}, [](const StatusTextEntry& e) {
      return static_cast<uint32_t>(e.status);
    });
    return it != kServiceTexts.end() && it->status == status ? &*it : nullptr;
  }
  for (const StatusTextEntry& entry : kStandardTexts)
    if (entry.status == status) return &entry;
  return nullptr;
}

}  // namespace

bool IsKnownStatus(HRESULT status) { return FindEntry(status) != nullptr; }

std::string_view StatusText(HRESULT status, Language language) {
  const StatusTextEntry* entry = FindEntry(status);
  return entry ? Pick(*entry, language) : std::string_view();
}

}  // namespace quor::core
