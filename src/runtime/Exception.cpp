#include "runtime/Exception.h"
