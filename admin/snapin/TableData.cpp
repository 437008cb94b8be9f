#include "admin/snapin/TableData.h"
