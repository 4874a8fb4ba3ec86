#include "fake_clock.h"
