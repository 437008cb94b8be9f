// The language messages are given in, as the locale asks for it. The service's
// status texts and the authentication service's messages both follow it.
#pragma once

#include <string_view>

namespace quor::text {

enum class Language { English, Japanese };

// Japanese for a locale name beginning with "ja" ("ja", "ja_JP.UTF-8" ...),
// English for every other.
Language LanguageFromLocale(std::string_view localeName);
// The process's message language, by the first of LC_ALL, LC_MESSAGES and
// LANG that is set and not empty; English when none is. Read on every call.
Language ProcessLanguage();

}  // namespace quor::text
