#include "admin/snapin/TargetFieldDialog.h"
