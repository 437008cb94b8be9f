#include "admin/snapin/DatabasesNode.h"
