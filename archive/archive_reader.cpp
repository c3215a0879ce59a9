#include "core/error.h"
