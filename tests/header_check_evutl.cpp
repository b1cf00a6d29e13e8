#include "VRQ5evutl.h"
