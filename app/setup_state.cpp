#include "app/setup_state.h"

SetupState g_setup;
