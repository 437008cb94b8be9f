#include "platform/text/language.h"

#include <cstdlib>

namespace quor::text {

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

}  // namespace quor::text
