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

bool root_given;
long root_given_value;
SharedOptions shared;  // -z, -p (the partition to format), --partitions, -r
bool size_given;
bool force;

const argp_option formatter_options[] = {
    verbose_option,
    {"root", 'b', "rootblock", 0, "Specify root block", 0},
    {"size", 's', "size", 0, "Set blocksize", 0},
    reserve_option,
    {"ofs", 'o', nullptr, 0, "Old filesystem format", 0},
    {"intl", 'i', nullptr, 0, "International dir format", 0},
    {"dircache", 'd', nullptr, 0, "Use dir cache", 0},
    {"force", 'f', nullptr, 0, "With -p: format a partition that the table gives to another filesystem", 0},
    undo_option,
    {"partition", 'p', "PART", 0, "Format partition PART (its number or drive name) of the partition table", 0},
    partitions_option,
    {},
};

error_t parse_formatter_option(int key, char *arg, argp_state *state)
{
    auto *session = static_cast<VolumeSession *>(state->input);
    std::int64_t value = 0;
    int taken = take_shared_option(key, arg, value, shared);
    if (taken != 2) {
        if (taken == 1)
            std::exit(1);
        return 0;
    }
    switch (key) {
    case 'b':
        root_given = true;
        root_given_value = long(value);
        session->root_block = std::uint32_t(value);
        break;
    case 's':
        size_given = true;
        session->block_size = std::uint32_t(value);
        session->block_shift = shift_of_block_size(value);
        break;
    case 'o': session->flags |= OldFormat; break;
    case 'i': session->flags |= International; break;
    case 'd': session->flags |= DirCache; break;
    case 'f': force = true; break;
    case ARGP_KEY_ARG:
        if (state->arg_num == 0)
            session->device_path = arg;
        else if (state->arg_num == 1)
            session->volume_name = arg;
        else
            argp_state_help(state, stderr, ARGP_HELP_STD_USAGE);
        break;
    case ARGP_KEY_END:
        // --partitions takes the device alone
        if (state->arg_num != (shared.list_partitions ? 1u : 2u))
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
    std::memset(&volume, 0, sizeof volume);
    volume.reserved_blocks = 2;
    volume.block_size = 512;
    volume.block_shift = 9;
    // the volume name comes in the locale's character set
    std::setlocale(LC_CTYPE, "");
    if (argp_parse(&formatter_argp, argc, argv, 0, nullptr, &volume) != 0)
        return 1;
    // a name that the Amiga cannot take is refused before the device is opened
    static char name[name_room + 1];
    if (!shared.list_partitions) {
        if (amiga_volume_name(volume.volume_name, name) != 0)
            return 1;
        volume.volume_name = name;
    }

    std::uint64_t bytes = 0;
    if (open_device(shared.list_partitions, !shared.list_partitions, bytes) != 0)
        return 1;
    if (shared.list_partitions)
        return print_partitions(bytes);
    // the undo file records the whole device's size and the partition's offset
    std::uint64_t device_bytes = bytes;
    if (shared.partition &&
        select_format_partition(shared.partition, bytes, size_given, shared.reserve_given, force) != 0)
        return 1;
    if (shared.undo_path && undo_create(shared.undo_path, device_bytes) != 0)
        return 1;
    // a partition whose table names no filesystem gets the volume's DOS type
    // once the volume is complete, its PART block saved in the undo file too
    std::uint64_t table_byte;
    std::uint32_t table_size;
    if (partition_retype_pending(table_byte, table_size) && undo_add_device_bytes(table_byte, table_size) != 0) {
        undo_finish();
        return 1;
    }
    int result = format_volume(bytes, root_given, root_given_value);
    if (result == 0)
        result = write_partition_type();
    return result | undo_finish();
}
