// vistrel: checks an Amiga OFS/FFS volume and, on request, repairs its bitmap.
#include "extract.h"
#include "front.h"
#include "volume.h"

#include <argp.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

const char program_name[] = "vistrel";
const char *argp_program_version = "vistrel " TOOLS_VERSION;

namespace {

constexpr int restore_key = 0x100, salvage_key = 0x101, repair_key = 0x102;

ExtractOptions extract_options;

const argp_option checker_options[] = {
    verbose_option,
    {"root", 'b', "block", 0, "Specify root block", 0},
    {"size", 's', "size", 0, "Force blocksize", 0},
    reserve_option,
    {"readonly", 'n', nullptr, 0, "No changes to the filesystem", 0},
    {"force", 'f', nullptr, 0, "Force filesystem check", 0},
    {"clear", 'c', nullptr, 0, "Clear bitmap flag", 0},
    {"write", 'w', nullptr, 0, "Write bitmap", 0},
    {"repair", repair_key, nullptr, 0, "Repair the tree, then write the bitmap (with -n: tell the repairs)", 0},
    undo_option,
    {"restore", restore_key, "file", 0, "Put back the blocks saved in file (--res is --reserve)", 0},
    {"partition", 'p', "PART", 0, "Check partition PART (its number or drive name) of the partition table", 0},
    partitions_option,
    {"extract", 'x', "DIR", 0, "Copy the volume's files into DIR (new or empty); never writes the volume", 0},
    {"salvage", salvage_key, "deleted", OPTION_ARG_OPTIONAL,
     "With -x: also copy out lost entries (=deleted: deleted ones too)", 0},
    {},
};

error_t parse_checker_option(int key, char *arg, argp_state *state)
{
    auto *run = static_cast<RunOptions *>(state->input);
    std::int64_t value = 0;
    switch (take_shared_option(key, arg, value, *run)) {
    case 0:
        if (key == 'r' && run->reserved_blocks == 0) {
            log_error("at least 1 block must reserved\n");
            std::exit(1);
        }
        return 0;
    case 1: std::exit(1);
    default: break;
    }
    switch (key) {
    case 'b':
        run->root_given = true;
        run->root_block = std::uint32_t(value);
        break;
    case 's': run->block_size = std::uint32_t(value); break;
    case 'n': run->options |= ReadOnly; break;
    case 'f': run->options |= ForceCheck; break;
    case 'c': run->options |= ClearBitmapFlag; break;
    case 'w': run->options |= WriteBitmap; break;
    case repair_key: run->options |= WriteBitmap | RepairTree; break;
    case restore_key: run->restore_path = arg; break;
    case 'x': extract_options.directory = arg; break;
    case salvage_key:
        if (arg && std::strcmp(arg, "deleted") != 0)
            argp_error(state, "--salvage takes no value but 'deleted', not '%s'", arg);
        extract_options.salvage = arg ? Salvage::Deleted : Salvage::Lost;
        break;
    case ARGP_KEY_ARG:
        if (state->arg_num != 0)
            argp_state_help(state, stderr, ARGP_HELP_STD_USAGE);
        run->device_path = arg;
        break;
    case ARGP_KEY_NO_ARGS: argp_state_help(state, stderr, ARGP_HELP_STD_USAGE); break;
    case ARGP_KEY_END:
        if (extract_options.salvage != Salvage::None && !extract_options.directory)
            argp_error(state, "--salvage needs --extract");
        if (extract_options.directory &&
            (run->restore_path || run->undo_path || run->list_partitions ||
             (run->options & (WriteBitmap | ClearBitmapFlag))))
            argp_error(state, "--extract cannot be combined with -w, -c, -z, --repair, --restore or --partitions");
        if (run->restore_path && (run->undo_path || (run->options & (WriteBitmap | ClearBitmapFlag)))) {
            log_error("--restore cannot be combined with -w, -c or -z\n");
            std::exit(1);
        }
        // the undo file knows the volume's place and block size
        if (run->restore_path && (run->partition || run->reserve_given || run->root_given || run->block_size != 0)) {
            log_error("--restore takes no -p, -b, -s or -r: the undo file knows where the volume lies\n");
            std::exit(1);
        }
        break;
    default: return ARGP_ERR_UNKNOWN;
    }
    return 0;
}

const argp checker_argp = {checker_options, parse_checker_option, "device", nullptr, front_children, nullptr, nullptr};

}  // namespace

int main(int argc, char **argv)
{
    // a report into a file or a pipe can be long (a trace of every block
    // at -vv): it goes out in pieces of 64 KiB; a terminal keeps its lines
    static char report_buffer[1 << 16];
    if (!isatty(STDOUT_FILENO))
        std::setvbuf(stdout, report_buffer, _IOFBF, sizeof report_buffer);
    if (called_as_fsck(argv[0]))
        return fsck_main(argc, argv);
    prepare_front(argc, argv);
    RunOptions options;
    // "--res" has always meant --reserve; --restore came later
    prefer_long_option(argc, argv, checker_options, "res", "reserve");
    if (argp_parse(&checker_argp, argc, argv, 0, nullptr, &options) != 0)
        return 1;
    if (extract_options.directory)
        return extracted_run(options, front_options, extract_options);
    return checked_run(options, front_options);
}
