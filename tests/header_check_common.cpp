#include "DataLinkCommon.h"
