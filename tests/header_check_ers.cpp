#include "ers_common.h"
