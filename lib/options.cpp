// The options that both programs read alike from their command line.
#include "volume.h"

#include <argp.h>

const argp_option verbose_option = {"verbose", 'v', nullptr, 0, "Be verbose", 0};
const argp_option reserve_option = {"reserve", 'r', "blocks", 0, "Set reserved blocks", 0};
const argp_option undo_option = {"undo", 'z', "file", 0, "Save the blocks to be written in a new file", 0};
const argp_option partitions_option = {"partitions", partitions_key, nullptr, 0, "List the partition table and exit",
                                       0};

int parse_number_option(int key, const char *text, std::int64_t &value)
{
    if (key != 'b' && key != 's' && key != 'r')
        return 0;
    if (parse_number(text, value) != 0)
        return 1;
    if (key == 's' && shift_of_block_size(value) == 0) {
        log_error("invalid block size %d\n", int(value));
        return 1;
    }
    return 0;
}

int take_shared_option(int key, const char *arg, std::int64_t &value, RunOptions &options)
{
    if (parse_number_option(key, arg, value) != 0)
        return 1;
    switch (key) {
    case 'v': options.verbosity += 1; return 0;
    case 'r':
        options.reserve_given = true;
        options.reserved_blocks = std::uint32_t(value);
        return 0;
    case 'z': options.undo_path = arg; return 0;
    case 'p': options.partition = arg; return 0;
    case partitions_key: options.list_partitions = true; return 0;
    default: return 2;
    }
}
