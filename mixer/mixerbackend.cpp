#include "mixerbackend.h"
