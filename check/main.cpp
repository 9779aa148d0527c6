// vistrel: checks an Amiga OFS/FFS volume and, on request, repairs its bitmap.
#include "volume.h"

#include <argp.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

const char program_name[] = "vistrel";
const char *argp_program_version = "vistrel " TOOLS_VERSION;

namespace {

SharedOptions shared;  // -z, -p (the partition to check), --partitions, -r
const char *restore_path;
constexpr int restore_key = 0x100;

const argp_option checker_options[] = {
    verbose_option,
    {"root", 'b', "block", 0, "Specify root block", 0},
    {"size", 's', "size", 0, "Force blocksize", 0},
    reserve_option,
    {"readonly", 'n', nullptr, 0, "No changes to the filesystem", 0},
    {"force", 'f', nullptr, 0, "Force filesystem check", 0},
    {"clear", 'c', nullptr, 0, "Clear bitmap flag", 0},
    {"write", 'w', nullptr, 0, "Write bitmap", 0},
    undo_option,
    {"restore", restore_key, "file", 0, "Put back the blocks saved in file (--res is --reserve)", 0},
    {"partition", 'p', "PART", 0, "Check partition PART (its number or drive name) of the partition table", 0},
    partitions_option,
    {},
};

error_t parse_checker_option(int key, char *arg, argp_state *state)
{
    auto *session = static_cast<VolumeSession *>(state->input);
    std::int64_t value = 0;
    switch (take_shared_option(key, arg, value, shared)) {
    case 0:
        if (key == 'r' && session->reserved_blocks == 0) {
            log_error("at least 1 block must reserved\n");
            std::exit(1);
        }
        return 0;
    case 1: std::exit(1);
    default: break;
    }
    switch (key) {
    case 'b': session->root_block = std::uint32_t(value); break;
    case 's': session->block_size = std::uint32_t(value); break;
    case 'n': session->flags |= ReadOnly; break;
    case 'f': session->flags |= ForceCheck; break;
    case 'c': session->flags |= ClearBitmapFlag; break;
    case 'w': session->flags |= WriteBitmap; break;
    case restore_key: restore_path = arg; break;
    case ARGP_KEY_ARG:
        if (state->arg_num != 0)
            argp_state_help(state, stderr, ARGP_HELP_STD_USAGE);
        session->device_path = arg;
        break;
    case ARGP_KEY_NO_ARGS: argp_state_help(state, stderr, ARGP_HELP_STD_USAGE); break;
    case ARGP_KEY_END:
        if (restore_path && (shared.undo_path || (session->flags & (WriteBitmap | ClearBitmapFlag)))) {
            log_error("--restore cannot be combined with -w, -c or -z\n");
            std::exit(1);
        }
        break;
    default: return ARGP_ERR_UNKNOWN;
    }
    return 0;
}

const argp checker_argp = {checker_options, parse_checker_option, "device", nullptr, nullptr, nullptr, nullptr};

}  // namespace

int main(int argc, char **argv)
{
    // a report into a file or a pipe can be long (a trace of every block
    // at -vv): it goes out in pieces of 64 KiB; a terminal keeps its lines
    static char report_buffer[1 << 16];
    if (!isatty(STDOUT_FILENO))
        std::setvbuf(stdout, report_buffer, _IOFBF, sizeof report_buffer);
    std::memset(&volume, 0, sizeof volume);
    volume.reserved_blocks = 2;
    // "--res" has always meant --reserve; --restore came later
    prefer_long_option(argc, argv, checker_options, "res", "reserve");
    if (argp_parse(&checker_argp, argc, argv, 0, nullptr, &volume) != 0)
        return 1;

    // the size in 512-byte sectors, kept in 64 bits: a volume of 4096-byte
    // blocks reaches 2^35 sectors
    std::uint64_t bytes = 0;
    bool read_only = (volume.flags & ReadOnly) || shared.list_partitions;
    bool writes = !read_only && ((volume.flags & (WriteBitmap | ClearBitmapFlag)) || restore_path);
    if (open_device(read_only, writes, bytes) != 0)
        return 1;
    if (shared.list_partitions)
        return print_partitions(bytes);
    if (restore_path)
        return restore_volume(restore_path, bytes, volume.flags & ForceCheck, volume.flags & ReadOnly);
    // the undo file records the whole device's size and the partition's offset
    std::uint64_t device_bytes = bytes;
    if (shared.partition &&
        select_check_partition(shared.partition, bytes, volume.block_size != 0, shared.reserve_given) != 0)
        return 1;
    // with -n nothing can be written, so there is nothing to take back
    if (shared.undo_path && !(volume.flags & ReadOnly) && undo_create(shared.undo_path, device_bytes) != 0)
        return 1;
    std::uint64_t sectors = bytes / 512;
    return check_volume(sectors) | undo_finish();
}
