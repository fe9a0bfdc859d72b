#include "publish/console.h"

#include <unistd.h>

bool errorOutputIsTerminal()
{
    return isatty(STDERR_FILENO) != 0;
}
