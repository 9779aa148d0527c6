// Names read from a volume are hostile input: on a terminal, a name holding
// escape sequences could clear the screen, retitle the window or worse.  The
// bytes stay as stored everywhere else, where a script may read them.
#include "volume.h"

#include <unistd.h>

void mask_for_terminal(char *text, std::size_t count)
{
    // looked up once: the run's standard output does not change
    static const bool terminal = isatty(STDOUT_FILENO) == 1;
    if (!terminal)
        return;
    for (std::size_t i = 0; i < count; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
            text[i] = '?';
    }
}
