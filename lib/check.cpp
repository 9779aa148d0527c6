// The checker's run once the device is open and sized: find the root block,
// then either clear the bitmap-valid flag, or name the variant, rebuild the
// allocation map from the tree, compare it with the volume's own bitmap and
// on request write it back.
#include "volume.h"

namespace {

// The clear option: only the bitmap-valid flag (and the checksum) change.
int clear_bitmap_flag()
{
    if (undo_save_check_blocks() != 0)
        return 1;
    put_tail(volume.root_buffer, field::bitmap_flag, 0);
    int written = write_root_block();
    if (written == 0)
        written = flush_device();
    return written;
}

void print_detection_line()
{
    log_verbose(0, "detected a ");
    if (volume.flags & International)
        log_verbose(0, "international ");
    if (volume.flags & DirCache)
        log_verbose(0, "dircache ");
    if (volume.flags & MultiUser)
        log_verbose(0, "multiuser ");
    log_verbose(0, "%s amiga filesystem%s\n", (volume.flags & OldFormat) ? "old" : "fast",
                get_tail(volume.root_buffer, field::bitmap_flag) == 0 ? " (not cleanly unmounted)" : "");
}

// The write option, once the maps are compared.  The rebuilt map shows free
// every block that the walk did not reach: behind damage that ended a chain
// early they may belong to live files, and writing that map would hand them
// out again.  Such a map is written only when forced.
//
// The bitmap is rewritten in three flushed steps, so that a run that ends
// anywhere leaves either the old volume, or one whose bitmap is marked not
// valid (which the next -w repairs), or the repaired one: (a) the root block
// with bitmap_flag 0, (b) the bitmap blocks, (c) the root block with -1.
int write_bitmap()
{
    if (volume.tree_errors != 0 && !(volume.flags & ForceCheck)) {
        log_error("error in directory tree. abort writing bitmap\n");
        return 1;
    }
    if (refuse_reserved_misfit() != 0)
        return 1;
    // the old contents of every block that is written below, first
    if (undo_save_check_blocks() != 0)
        return 1;
    if (volume.bitmap_errors != 0) {
        // the refused bitmap leaves the root block rewritten as it was read
        store_bitmap();
        if (write_root_block() == 0)
            flush_device();
        return 1;
    }
    if (mark_bitmap_invalid() != 0 || flush_device() != 0)
        return 1;
    if (store_bitmap() != 0 || flush_device() != 0)
        return 1;
    if (write_root_block() != 0)
        return 1;
    return flush_device();
}

int verify_volume()
{
    volume.data_bytes_per_block = (volume.flags & OldFormat) ? volume.block_size - 24 : volume.block_size;
    if (load_bitmap() != 0)
        return 1;
    if (volume.flags & DirCache)
        check_dircache_chain(get_tail(volume.root_buffer, field::extension));
    int walked = check_directory(volume.root_buffer + field::hash_table);
    read_ahead_end();
    if (walked != 0)
        return 1;
    compare_bitmaps();
    if (!(volume.flags & WriteBitmap))
        return 0;
    return write_bitmap();
}

}  // namespace

int check_volume(std::uint64_t device_sectors)
{
    volume.total_blocks = device_sectors > UINT32_MAX ? UINT32_MAX : std::uint32_t(device_sectors);
    if (find_root_block(device_sectors) != 0) {
        if (volume.partition_offset == 0 && has_partition_table(device_sectors * 512))
            log_error("the device has a partition table: --partitions lists it, -p PART checks one partition\n");
        return 1;
    }
    if (volume.flags & ClearBitmapFlag)
        return clear_bitmap_flag();
    if (detect_dos_type() != 0)
        return 1;
    print_detection_line();
    return verify_volume();
}
