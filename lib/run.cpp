// The two programs' runs as library calls: the mains parse their command
// line into RunOptions and call these; the fuzz targets call them too.
#include "internal.h"
#include "outcome.h"

#include <cstdlib>
#include <cstring>

namespace {

// A clean session with what the user gave.
void start_session(const RunOptions &options, Reporter &to)
{
    release_session();
    std::memset(&volume, 0, sizeof volume);
    begin_report(to);
    // a descriptor given without its path is named in messages all the same
    volume.device_path = options.device_path ? options.device_path : "the device";
    volume.volume_name = options.volume_name;
    volume.verbosity = options.verbosity;
    volume.options = options.options;
    volume.variant = options.variant;
    volume.root_block = options.root_block;
    volume.block_size = options.block_size;
    volume.block_shift = shift_of_block_size(options.block_size);
    volume.reserved_blocks = options.reserved_blocks;
}

// The device: the descriptor given, or device_path opened.
int open_run_device(const RunOptions &options, bool read_only, bool exclusive, std::uint64_t &bytes)
{
    if (options.fd >= 0) {
        volume.fd = options.fd;
        bytes = options.device_bytes;
        return 0;
    }
    return open_device(read_only, exclusive, bytes);
}

// The format, and then, for a partition whose table names no filesystem,
// the volume's DOS type in its PART block, which the undo file saves too.
int format_and_retype(std::uint64_t bytes, const RunOptions &options)
{
    std::uint64_t table_byte;
    std::uint32_t table_size;
    if (partition_retype_pending(table_byte, table_size) && undo_add_device_bytes(table_byte, table_size) != 0)
        return 1;
    int result = format_volume(bytes, options.root_given, options.root_given_value);
    if (result == 0)
        result = write_partition_type();
    return result;
}

}  // namespace

void release_session()
{
    std::free(volume.work_map);
    std::free(volume.disk_map);
    volume.work_map = volume.disk_map = nullptr;
    reset_walk_record();
    end_repair();
    repair_outcome = {};
    end_mapped_reads();
}

int run_check(const RunOptions &options, Reporter &to)
{
    int status = run_check_kept(options, to);
    end_mapped_reads();
    end_report();
    return status;
}

int run_check_kept(const RunOptions &options, Reporter &to)
{
    start_session(options, to);
    // the size in 512-byte sectors, kept in 64 bits: a volume of 4096-byte
    // blocks reaches 2^35 sectors
    std::uint64_t bytes = 0;
    bool read_only = (volume.options & ReadOnly) || options.list_partitions;
    bool writes = !read_only && ((volume.options & (WriteBitmap | ClearBitmapFlag)) || options.restore_path);
    int status = 1;
    if (open_run_device(options, read_only, writes, bytes) != 0)
        status = 1;
    else if (options.list_partitions)
        status = print_partitions(bytes);
    else if (options.restore_path)
        status = (protect_partition_table(bytes),
                  restore_volume(options.restore_path, bytes, volume.options & ForceCheck, volume.options & ReadOnly));
    else {
        if (writes)
            protect_partition_table(bytes);
        // the undo file records the whole device's size and the partition's offset
        std::uint64_t device_bytes = bytes;
        if (options.partition &&
            select_check_partition(options.partition, bytes, options.block_size != 0, options.reserve_given) != 0)
            status = 1;
        // with -n nothing can be written, so there is nothing to take back
        else if (options.undo_path && !(volume.options & ReadOnly) && undo_create(options.undo_path, device_bytes) != 0)
            status = 1;
        else {
            begin_mapped_reads();
            status = check_volume(bytes / 512) | undo_finish();
        }
    }
    to.flush();
    return status;
}

int run_format(const RunOptions &options, Reporter &to)
{
    start_session(options, to);
    if (volume.block_size == 0) {
        volume.block_size = 512;
        volume.block_shift = 9;
    }
    std::uint64_t bytes = 0;
    int status = 1;
    if (open_run_device(options, options.list_partitions, !options.list_partitions, bytes) != 0)
        status = 1;
    else if (options.list_partitions)
        status = print_partitions(bytes);
    else {
        protect_partition_table(bytes);
        // the undo file records the whole device's size and the partition's offset
        std::uint64_t device_bytes = bytes;
        bool force = options.options & ForceCheck;
        if (options.partition && select_format_partition(options.partition, bytes, options.block_size != 0,
                                                         options.reserve_given, force) != 0)
            status = 1;
        else if (!force && refuse_format_over_data(bytes, options.partition) != 0)
            status = 1;
        else if (options.undo_path && undo_create(options.undo_path, device_bytes) != 0)
            status = 1;
        else
            status = format_and_retype(bytes, options) | undo_finish();
    }
    to.flush();
    end_report();
    return status;
}
