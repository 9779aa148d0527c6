// The checker's run once the device is open and sized: find the root block,
// then either clear the bitmap-valid flag, or name the variant, rebuild the
// allocation map from the tree, compare it with the volume's own bitmap and
// on request write it back.
#include "volume.h"

namespace {

// The clear option: only the bitmap-valid flag (and the checksum) change.
int clear_bitmap_flag(bool block_device)
{
    put_tail(volume.root_buffer, field::bitmap_flag, 0);
    int written = write_root_block();
    if (written == 0 && block_device)
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

int verify_volume(bool block_device)
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
    // a refused bitmap still leaves the root block rewritten, with its flag
    // as it was read; either failure makes the run fail
    int stored = store_bitmap();
    int written = write_root_block();
    if (written == 0 && block_device)
        written = flush_device();
    return stored | written;
}

}  // namespace

int check_volume(std::uint64_t device_sectors, bool block_device)
{
    volume.total_blocks = device_sectors > UINT32_MAX ? UINT32_MAX : std::uint32_t(device_sectors);
    if (find_root_block(device_sectors) != 0)
        return 1;
    if (volume.flags & ClearBitmapFlag)
        return clear_bitmap_flag(block_device);
    if (detect_dos_type() != 0)
        return 1;
    print_detection_line();
    return verify_volume(block_device);
}
