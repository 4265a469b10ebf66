#include "fakeshell.h"
