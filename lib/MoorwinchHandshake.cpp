#include "MoorwinchImpl.h"
