#include "admin/snapin/DataLinkDialog.h"
