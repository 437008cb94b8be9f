#include "admin/snapin/TableDialogs.h"
