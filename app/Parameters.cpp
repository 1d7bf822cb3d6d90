#include "app/Parameters.h"

static_assert(sizeof(COMMANDS) == 4, "commands fit one 32-bit word");
static_assert((CMD_ANY & CMD_HELP) == 0, "help is not a command of its own");
