#include "RingBuffer.h"
