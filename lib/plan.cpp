// Write plans: every run that writes lists its writes, in order and with
// their flush points, before the first one.  The undo file saves exactly
// the planned blocks; then the plan runs, and its first failed write or
// flush ends it.
//
// The orders keep a run that ends anywhere safe: the root block goes out
// with its bitmap flag 0 before the first bitmap block, and with the flag
// set only once every bitmap block has reached the device.
#include "internal.h"
#include "outcome.h"

void WritePlan::add(std::uint32_t block, PlanContent content, std::uint32_t index)
{
    writes.push_back({block, content, index, false});
}

void WritePlan::flush()
{
    if (!writes.empty())
        writes.back().flush_after = true;
}

std::vector<std::uint32_t> WritePlan::blocks() const
{
    std::vector<std::uint32_t> list;
    list.reserve(writes.size());
    for (const PlannedWrite &w : writes)
        list.push_back(w.block);
    return list;
}

namespace {

void add_bitmap_blocks(WritePlan &plan)
{
    const BitmapChain &chain = bitmap_chain();
    for (std::uint32_t i = 0; i < chain.pointers.size(); ++i)
        plan.add(chain.pointers[i], PlanContent::Bitmap, i);
}

int run_write(const PlannedWrite &w, bool &all_free)
{
    std::uint8_t *root = volume.root_buffer;
    switch (w.content) {
    case PlanContent::RootInvalid:
        put_tail(root, field::bitmap_flag, 0);
        seal_block(root, field::checksum);
        return write_block(root, w.block);
    case PlanContent::RootValid: put_tail(root, field::bitmap_flag, 0xFFFFFFFFu); return write_root_block();
    case PlanContent::Root: return write_root_block();
    case PlanContent::Bitmap:
        fill_bitmap_for_store(w.index, all_free);
        return write_block(volume.bitmap_buffer, w.block);
    case PlanContent::BitmapExt: {
        // its own buffer: bitmap_buffer may hold a bitmap block that is kept
        alignas(4) std::uint8_t buffer[max_block_size];
        fill_extension_block(w.index, buffer);
        return write_block(buffer, w.block);
    }
    case PlanContent::DosType: return write_dos_type();
    }
    return 1;
}

}  // namespace

WritePlan check_write_plan(bool clear)
{
    WritePlan plan;
    std::uint32_t root = volume.root_block;
    if (clear) {
        // only the bitmap-valid flag (and the checksum) change
        put_tail(volume.root_buffer, field::bitmap_flag, 0);
        plan.add(root, PlanContent::Root);
    } else if (tallies().of(Effect::BitmapError) != 0) {
        // the refused bitmap leaves the root block rewritten as it was read
        plan.add(root, PlanContent::Root);
    } else {
        plan.add(root, PlanContent::RootInvalid);
        plan.flush();
        add_bitmap_blocks(plan);
        plan.flush();
        plan.add(root, PlanContent::RootValid);
    }
    plan.flush();
    return plan;
}

WritePlan format_write_plan()
{
    // The extension blocks first, then the new root block with its bitmap
    // flag 0 before the first bitmap block: a format that ends early never
    // leaves a root block whose bitmap is marked valid over a bitmap that is
    // only partly written (an old volume's, in the same place, would be).
    // The volume is complete once the root block and block 0 are on it.
    WritePlan plan;
    const BitmapChain &chain = bitmap_chain();
    for (std::uint32_t k = 0; k < chain.extensions.size(); ++k)
        plan.add(chain.extensions[k], PlanContent::BitmapExt, k);
    plan.add(volume.root_block, PlanContent::RootInvalid);
    plan.flush();
    add_bitmap_blocks(plan);
    plan.flush();
    plan.add(volume.root_block, PlanContent::RootValid);
    plan.add(0, PlanContent::DosType);
    plan.flush();
    return plan;
}

int save_plan(const WritePlan &plan)
{
    // from here on a cancel stops the plan between two writes
    run_writing = 1;
    return undo_save_blocks(plan.blocks());
}

int execute_plan(const WritePlan &plan)
{
    bool all_free = false;
    for (const PlannedWrite &w : plan.writes) {
        // a cancelled run writes nothing more; what it wrote is in order
        if (run_cancelled)
            return 1;
        if (run_write(w, all_free) != 0)
            return 1;
        if (w.flush_after && flush_device() != 0)
            return 1;
    }
    return 0;
}

int store_bitmap()
{
    if (tallies().of(Effect::BitmapError) != 0) {
        raise(Problem::RefuseBitmap);
        return 1;
    }
    WritePlan plan;
    add_bitmap_blocks(plan);
    bool all_free = false;
    for (const PlannedWrite &w : plan.writes)
        if (run_write(w, all_free) != 0)
            return 1;
    put_tail(volume.root_buffer, field::bitmap_flag, 0xFFFFFFFFu);
    return 0;
}
