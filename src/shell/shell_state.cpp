#include "shell_state.h"

namespace cvx {

namespace {
ShellState g_state;
}

ShellState& shellState() { return g_state; }

void resetShellState() { g_state = ShellState{}; }

} // namespace cvx
