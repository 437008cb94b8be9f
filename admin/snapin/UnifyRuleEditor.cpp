#include "admin/snapin/UnifyRuleEditor.h"
