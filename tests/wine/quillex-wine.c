/* Stands in for the Windows program in the end-to-end suite: runs it under
 * Wine through the launcher, with this process's own argument 0, so that a
 * test sees the program exactly as a native one. The paths come from the
 * compiler's command line (run-e2e-wine.sh builds this file). */
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    char** args = calloc((size_t)argc + 4, sizeof *args);
    if (!args) return 127;
    args[0] = WINE;
    args[1] = LAUNCHER;
    args[2] = PROGRAM;
    for (int i = 0; i < argc; ++i) args[3 + i] = argv[i];
    setenv("WINEPREFIX", PREFIX, 1);
    setenv("WINEDEBUG", "-all", 1);
    execv(WINE, args);
    return 127;
}
