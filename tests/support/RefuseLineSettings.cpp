// Preloaded into a run of the tool (LD_PRELOAD) to play a line whose driver refuses the settings
// a run asks for, as one that cannot do 115200 8N1 would.
#include <cerrno>
#include <termios.h>

extern "C" int tcsetattr(int, int, const termios*)
{
    errno = EINVAL;
    return -1;
}
