#include "base/setup_state.h"

SetupState g_setup;
