#include "admin/snapin/NativeDBNode.h"
