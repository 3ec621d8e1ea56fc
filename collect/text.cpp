#include "collect/text.h"
