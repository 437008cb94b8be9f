#include "admin/snapin/OleDbSetting.h"
