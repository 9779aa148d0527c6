// The listing lines of the text reporter: one line per entry (key, name, size
// or kind, date, comment), formatted by hand with the text of printf.
#include "internal.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

// The 25-character date column: the date text and one blank.  The text fills
// 24 of the 25 bytes that strftime may use, so its trailing blank does not
// fit; strftime gives up there and the field's own 25th blank completes it.
const char *date_text(const std::uint8_t *header)
{
    // entries of one volume often share their date: the text of the last
    // one is kept, so that only a new date is broken down and formatted
    static char text[26];
    static std::time_t shown = -1;
    std::time_t seconds = std::time_t(unix_from_amiga_date(get_date(header, field::date)));
    if (seconds != shown) {
        // localtime_r reads the time zone once, where localtime looks at the
        // zone file again for every line when TZ is not set; the zone is the
        // same for the whole run, so the text is the same
        if (shown == -1)
            tzset();
        shown = seconds;
        std::memset(text, ' ', 25);
        text[25] = '\0';
        std::tm broken_down;
        if (const std::tm *local = localtime_r(&seconds, &broken_down))
            std::strftime(text, 25, "%a %b %e %T %Y ", local);
        text[25] = '\0';
        for (int i = 0; i < 25; ++i)
            if (text[i] == '\0')
                text[i] = ' ';
    }
    return text;
}

// printf's "%10u ": the number right-aligned in ten columns, and a blank
char *put_column(char *p, std::uint32_t value)
{
    std::memset(p, ' ', 10);
    decimal(p + 10, value);
    p[10] = ' ';
    return p + 11;
}

// `count` bytes of text, then blanks up to `width` columns when it is shorter
char *put_field(char *p, const char *text, std::size_t count, std::size_t width)
{
    std::memcpy(p, text, count);
    p += count;
    if (count < width) {
        std::memset(p, ' ', width - count);
        p += width - count;
    }
    return p;
}

// names and comments go to a terminal (see mask_for_terminal)
const bool masked = isatty(STDOUT_FILENO) == 1;

// One listing line, formatted by hand into `line`, with the text of
// printf's "%10u %-30.*s " for the key and the name, the 11 columns of
// `middle`, the date column, `lead` (a blank or nothing) and "%*.*s\n" for the
// comment.  A name_length that would run past the block is cut at its end,
// and a NUL byte ends the name, as printf's precision does.  The comment runs
// to its first NUL byte or the end of the block, right-aligned in a field
// comment_length wide.
std::size_t format_line(const std::uint8_t *header, const char *middle, bool lead, char *line)
{
    char *p = put_column(line, get_long(header, field::header_key));
    std::size_t length = header[tail(field::name_length)];
    const char *name = reinterpret_cast<const char *>(header + tail(field::name));
    std::size_t shown = strnlen(name, length < field::name ? length : field::name);
    char *name_at = p;
    p = put_field(p, name, shown, 30);
    if (masked)
        mask_for_terminal(name_at, shown);
    *p++ = ' ';
    p = put_field(p, middle, 11, 11);
    p = put_field(p, date_text(header), 25, 25);
    if (lead)
        *p++ = ' ';
    const char *comment = reinterpret_cast<const char *>(header + tail(field::comment));
    std::size_t count = strnlen(comment, field::comment);
    std::size_t width = header[tail(field::comment_length)];
    if (count < width) {
        std::memset(p, ' ', width - count);
        p += width - count;
    }
    p = put_field(p, comment, count, 0);
    if (masked)
        mask_for_terminal(p - count, count);
    *p++ = '\n';
    return std::size_t(p - line);
}

}  // namespace

// The decimal digits of `value` end at `end`; returns where they start.  Two
// digits at a time, from a table: half the divisions of one at a time.
char *decimal(char *end, std::uint32_t value)
{
    static constexpr char pairs[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                                    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                                    "8081828384858687888990919293949596979899";
    char *p = end;
    while (value >= 100) {
        std::uint32_t pair = value % 100;
        value /= 100;
        p -= 2;
        std::memcpy(p, pairs + 2 * pair, 2);
    }
    if (value >= 10) {
        p -= 2;
        std::memcpy(p, pairs + 2 * value, 2);
    } else {
        *--p = char('0' + value);
    }
    return p;
}

// the number of decimal digits of `value`
std::size_t digit_count(std::uint32_t value)
{
    static constexpr std::uint32_t powers[] = {1,      10,      100,      1000,      10000,
                                               100000, 1000000, 10000000, 100000000, 1000000000};
    // 1233 / 4096 is a little over log10(2): `guess` is the number of digits
    // of `value`, or one less (value | 1 has the digits of value, and at
    // least one bit)
    std::size_t guess = (std::size_t(std::bit_width(value | 1)) * 1233) >> 12;
    return guess + ((value | 1) >= powers[guess] ? 1 : 0);
}

std::size_t format_listing_line(const std::uint8_t *header, std::int32_t secondary_type, char *line)
{
    switch (secondary_type) {
    case Dir: return format_line(header, "     <DIR> ", true, line);
    case File: {
        char size[11];
        put_column(size, get_tail(header, field::byte_size));
        return format_line(header, size, false, line);
    }
    case SoftLink: return format_line(header, "<SOFTLINK> ", true, line);
    case LinkDir: return format_line(header, " <LINKDIR> ", true, line);
    case FileLink: return format_line(header, "<FILELINK> ", true, line);
    default: return format_line(header, "     <?\?\?> ", true, line);
    }
}
