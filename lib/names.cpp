// Volume names as the Amiga takes them: ISO-8859-1 text of 1 to 30 bytes,
// without ':' (which ends a device name) or '/' (which separates a path).
#include "volume.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <initializer_list>
#include <langinfo.h>

int amiga_volume_name(const char *text, char *latin1)
{
    if (text[0] == '\0') {
        log_error("the volume name is empty\n");
        return 1;
    }
    // the command line is in the locale's character set; the volume holds
    // Latin-1, one byte per character
    const char *charset = nl_langinfo(CODESET);
    iconv_t convert = iconv_open("ISO-8859-1", charset);
    if (convert == iconv_t(-1)) {
        log_error("unable to convert the volume name from %s to ISO-8859-1 (%s)\n", charset, std::strerror(errno));
        return 1;
    }
    // room for one byte past the limit, so that a longer name shows as one
    char out[name_room + 1];
    char *in_at = const_cast<char *>(text), *out_at = out;
    std::size_t in_left = std::strlen(text), out_left = sizeof out;
    std::size_t converted = iconv(convert, &in_at, &in_left, &out_at, &out_left);
    int failure = converted == std::size_t(-1) ? errno : 0;
    iconv_close(convert);
    if (failure != 0 && failure != E2BIG) {
        log_error("volume name '%s' has characters that ISO-8859-1 cannot hold (or that are no %s text)\n", text,
                  charset);
        return 1;
    }
    std::size_t length = std::size_t(out_at - out);
    if (failure == E2BIG || length > name_room) {
        log_error("name exceeds max name length of 30 characters\n");
        return 1;
    }
    for (char c : {':', '/'}) {
        if (std::memchr(out, c, length)) {
            log_error("volume name '%s' holds '%c', which no Amiga name may hold\n", text, c);
            return 1;
        }
    }
    std::memcpy(latin1, out, length);
    latin1[length] = '\0';
    return 0;
}
