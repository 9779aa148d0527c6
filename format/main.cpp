// plandor: writes an empty Amiga OFS/FFS volume.
#include "volume.h"

#include <argp.h>
#include <cstdio>
#include <cstdlib>
#include <clocale>
#include <cstring>
#include <unistd.h>

const char program_name[] = "plandor";
const char *argp_program_version = "plandor " TOOLS_VERSION;

namespace {

const argp_option formatter_options[] = {
    verbose_option,
    {"root", 'b', "rootblock", 0, "Specify root block", 0},
    {"size", 's', "size", 0, "Set blocksize", 0},
    reserve_option,
    {"ofs", 'o', nullptr, 0, "Old filesystem format", 0},
    {"intl", 'i', nullptr, 0, "International dir format", 0},
    {"dircache", 'd', nullptr, 0, "Use dir cache", 0},
    {"force", 'f', nullptr, 0,
     "Format over a filesystem or partition table that the device holds, or a partition of another filesystem", 0},
    undo_option,
    {"partition", 'p', "PART", 0, "Format partition PART (its number or drive name) of the partition table", 0},
    partitions_option,
    {},
};

error_t parse_formatter_option(int key, char *arg, argp_state *state)
{
    auto *run = static_cast<RunOptions *>(state->input);
    std::int64_t value = 0;
    int taken = take_shared_option(key, arg, value, *run);
    if (taken != 2) {
        if (taken == 1)
            std::exit(1);
        return 0;
    }
    switch (key) {
    case 'b':
        run->root_given = true;
        run->root_given_value = long(value);
        run->root_block = std::uint32_t(value);
        break;
    case 's': run->block_size = std::uint32_t(value); break;
    case 'o': run->variant |= OldFormat; break;
    case 'i': run->variant |= International; break;
    case 'd': run->variant |= DirCache; break;
    case 'f': run->options |= ForceCheck; break;  // format over what the device holds
    case ARGP_KEY_ARG:
        if (state->arg_num == 0)
            run->device_path = arg;
        else if (state->arg_num == 1)
            run->volume_name = arg;
        else
            argp_state_help(state, stderr, ARGP_HELP_STD_USAGE);
        break;
    case ARGP_KEY_END:
        // --partitions takes the device alone
        if (state->arg_num != (run->list_partitions ? 1u : 2u))
            argp_state_help(state, stderr, ARGP_HELP_STD_USAGE);
        break;
    default: return ARGP_ERR_UNKNOWN;
    }
    return 0;
}

const argp formatter_argp = {formatter_options, parse_formatter_option, "devicefile name",
                             "The name, in the locale's character set, is stored in ISO-8859-1: 1 to 30 characters, "
                             "without ':' or '/'.",
                             nullptr, nullptr, nullptr};

}  // namespace

int main(int argc, char **argv)
{
    // the volume name comes in the locale's character set
    std::setlocale(LC_CTYPE, "");
    RunOptions options;
    if (argp_parse(&formatter_argp, argc, argv, 0, nullptr, &options) != 0)
        return 1;
    // a name that the Amiga cannot take is refused before the device is opened
    static char name[name_room + 1];
    if (!options.list_partitions) {
        if (amiga_volume_name(options.volume_name, name) != 0)
            return 1;
        options.volume_name = name;
    }
    TextReporter text(options.verbosity);
    return run_format(options, text);
}
