// The checker's run once the device is open and sized: find the root block,
// then either clear the bitmap-valid flag, or name the variant, rebuild the
// allocation map from the tree, compare it with the volume's own bitmap and
// on request write it back.
#include "internal.h"
#include "outcome.h"

namespace {

// The clear option: only the bitmap-valid flag (and the checksum) change.
int clear_bitmap_flag()
{
    WritePlan plan = check_write_plan(true);
    if (save_plan(plan) != 0)
        return 1;
    return execute_plan(plan);
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
    if (tallies().of(Effect::HidesBlocks) != 0 && !(volume.options & ForceCheck)) {
        raise(Problem::RefuseTree);
        return 1;
    }
    if (refuse_reserved_misfit() != 0)
        return 1;
    if (confirm_write && !confirm_write())
        return 0;
    WritePlan plan = check_write_plan(false);
    // the old contents of every block that is written below, first
    if (save_plan(plan) != 0)
        return 1;
    if (Problem reason; bitmap_refused(reason)) {
        // the refused bitmap leaves the root block rewritten as it was read
        raise(Problem::RefuseBitmap, 0, std::uint32_t(reason));
        execute_plan(plan);
        return 1;
    }
    return execute_plan(plan);
}

int verify_volume()
{
    volume.data_bytes_per_block = (volume.variant & OldFormat) ? volume.block_size - 24 : volume.block_size;
    if (load_bitmap() != 0)
        return 1;
    start_walk_progress();
    if (volume.variant & DirCache)
        check_dircache_chain(get_tail(volume.root_buffer, field::extension));
    int walked = check_directory(volume.root_buffer + field::hash_table);
    read_ahead_end();
    if (walked != 0)
        return 1;
    settle_bad_bitmap_blocks();
    compare_bitmaps();
    if (!(volume.options & WriteBitmap))
        return 0;
    return write_bitmap();
}

}  // namespace

int check_volume(std::uint64_t device_sectors)
{
    volume.total_blocks = device_sectors > UINT32_MAX ? UINT32_MAX : std::uint32_t(device_sectors);
    if (find_root_block(device_sectors) != 0) {
        if (volume.partition_offset == 0 && has_partition_table(device_sectors * 512))
            raise(Problem::PartitionTableHint);
        return 1;
    }
    if (volume.options & ClearBitmapFlag)
        return clear_bitmap_flag();
    if (detect_dos_type() != 0)
        return 1;
    reporter().note(Note::Detected, {volume.variant, get_tail(volume.root_buffer, field::bitmap_flag)});
    return verify_volume();
}
