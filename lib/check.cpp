// The checker's run once the device is open and sized: find the root block,
// then either clear the bitmap-valid flag, or name the variant, rebuild the
// allocation map from the tree, compare it with the volume's own bitmap and
// on request write it back.
#include "internal.h"
#include "outcome.h"

#include <cstdlib>
#include <cstring>

RepairOutcome repair_outcome;

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

}  // namespace

bool device_failed(const Tallies &t)
{
    // a read of a block out of the volume or among the reserved ones is a
    // pointer's damage; every other operational finding is the device's or
    // the memory's
    return t.of(Effect::Operational) != t.of(Problem::ReadReserved) + t.of(Problem::ReadOutOfRange);
}

namespace {

// The second walk, over the repaired tree: the work map is rebuilt from it
// and compared again, with its findings counted apart and shown to no one.
// The tallies of that walk; the run's own are kept.
Tallies walk_repaired_tree()
{
    Tallies found = tallies();
    Reporter &to = reporter();
    NullReporter quiet;
    begin_report(quiet);
    alignas(4) std::uint8_t original[max_block_size];
    std::memcpy(original, volume.root_buffer, volume.block_size);
    std::memcpy(volume.root_buffer, repaired_root(), volume.block_size);
    std::free(volume.work_map);
    std::free(volume.disk_map);
    volume.work_map = volume.disk_map = nullptr;
    reset_walk_record();
    if (load_bitmap() == 0) {
        if (volume.variant & DirCache)
            check_dircache_chain(get_tail(volume.root_buffer, field::extension));
        check_directory(volume.root_buffer + field::hash_table);
        read_ahead_end();
        settle_bad_bitmap_blocks();
        compare_bitmaps();
    }
    Tallies after = tallies();
    std::memcpy(volume.root_buffer, original, volume.block_size);
    resume_report(to, found);
    return after;
}

// The repair of the tree, then of the bitmap from the repaired tree.  A
// volume whose tree needs nothing is left to write_bitmap as before; with
// ReadOnly the repairs are only told.
int repair_volume()
{
    // a device that failed a read may fail the next one: what it hid is
    // not damage, and nothing is repaired over it
    if (device_failed(tallies()) || (tallies().of(Effect::HidesBlocks) + tallies().of(Effect::Inconsistency) == 0 &&
                                     (tallies().of(Problem::BitmapFreeUsed) == 0 || !lost_headers_present()) &&
                                     !bitmap_pointers_unsound()))
        return (volume.options & ReadOnly) ? 0 : write_bitmap();
    if (volume.options & ReadOnly) {
        repair_tree(false, true);
        end_repair();
        return 0;
    }
    if (confirm_write && !confirm_write())
        return 0;
    repair_tree(volume.options & RepairSafeOnly, false);
    repair_outcome.ran = true;
    repair_outcome.applied = repairs_applied();
    repair_outcome.left = repairs_left();
    repair_outcome.after = walk_repaired_tree();
    // a read that failed meanwhile: nothing is written over what it hid
    if (device_failed(tallies()) || device_failed(repair_outcome.after)) {
        repair_outcome.ran = false;
        end_repair();
        return 1;
    }
    // the bitmap is written only when the repaired tree hides nothing
    bool bitmap = true;
    Problem reason;
    if (repair_outcome.after.of(Effect::HidesBlocks) != 0 && !(volume.options & ForceCheck)) {
        raise(Problem::RefuseTree);
        bitmap = false;
    } else if (bitmap_refused(reason, repair_outcome.after)) {
        raise(Problem::RefuseBitmap, 0, std::uint32_t(reason));
        bitmap = false;
    } else if (refuse_reserved_misfit(repair_outcome.after.of(Effect::BitmapDifference)) != 0) {
        bitmap = false;
    }
    int status = bitmap ? 0 : 1;
    if (bitmap || repaired_image_count() != 0 || repairs_applied() != 0) {
        WritePlan plan = repair_write_plan(bitmap);
        if (save_plan(plan) != 0 || execute_plan(plan) != 0)
            status = 1;
        else
            repair_outcome.wrote_tree = true;
    }
    end_repair();
    return status;
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
    if (volume.options & RepairTree)
        return repair_volume();
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
