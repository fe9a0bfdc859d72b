#pragma once

// Whether the tool's error output goes to a terminal, where a progress line may be rewritten
// in place. One implementation per platform: console_posix.cpp and console_win.cpp.
bool errorOutputIsTerminal();
