#include "admin/snapin/ServiceDataDlg.h"
