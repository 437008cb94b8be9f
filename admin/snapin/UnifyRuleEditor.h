// The unify-rule editor: the first rows of one source table (read through
// the service) and the rule that maps its columns onto those of its
// destinations, kept in HomeDir/unifier/<table>.xml.
#pragma once

#include <string>
#include <string_view>

namespace quor::admin::snapin {

class CUnifyRuleEditor;

// Opens the editor for one table of a database connection, modally through
// the module's dialog host; the dialog's result.
int RunUnifyRuleEditor(std::string_view provider, std::string_view dsn, std::string_view catalog,
                       std::string_view table);

}  // namespace quor::admin::snapin
