#include "admin/snapin/UnifyRuleNode.h"
