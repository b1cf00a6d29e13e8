#include "DataLink.h"
