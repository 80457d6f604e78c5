#include "shell/ShellState.h"

bool g_showIsOver = false;
