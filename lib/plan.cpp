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

#include <cstring>

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

// The contents of planned write `w`, into `out`.  The root block is
// changed in root_buffer as well; `all_free` as for fill_bitmap_block.  1
// when they cannot be made (block 0 cannot be read).
int produce(const PlannedWrite &w, std::uint8_t *out, bool &all_free)
{
    std::uint8_t *root = volume.root_buffer;
    switch (w.content) {
    case PlanContent::RootInvalid: put_tail(root, field::bitmap_flag, 0); break;
    case PlanContent::RootValid: put_tail(root, field::bitmap_flag, 0xFFFFFFFFu); break;
    case PlanContent::Root: break;
    case PlanContent::Bitmap:
        fill_bitmap_block_of(w.index, all_free);
        std::memcpy(out, volume.bitmap_buffer, volume.block_size);
        return 0;
    case PlanContent::BitmapExt: fill_extension_block(w.index, out); return 0;
    case PlanContent::Image: {
        std::uint32_t block = 0;
        std::memcpy(out, repaired_image(w.index, block), volume.block_size);
        return 0;
    }
    case PlanContent::RepairedRoot:
        if (repaired_root() != root)
            std::memcpy(root, repaired_root(), volume.block_size);
        put_tail(root, field::bitmap_flag, w.index == 1 ? 0xFFFFFFFFu : 0);
        break;
    case PlanContent::DosType:
        // only the first long changes: the rest of the boot block is kept
        if (read_block_in(whole_volume_span(), out, 0) != 0)
            return 1;
        put_long(out, 0, dos_type_from_flags(volume.variant));
        return 0;
    }
    seal_block(root, field::checksum);
    std::memcpy(out, root, volume.block_size);
    return 0;
}

// Writes planned write `w` with its contents, after its note.
int emit(const PlannedWrite &w, const std::uint8_t *contents)
{
    switch (w.content) {
    case PlanContent::RootValid:
    case PlanContent::RepairedRoot:
    case PlanContent::Root: reporter().note(Note::WritingRoot, {w.block}); break;
    case PlanContent::Bitmap: note_bitmap_write(w.index); break;
    case PlanContent::DosType: return write_block_in(whole_volume_span(), contents, w.block);
    default: break;
    }
    return write_block(contents, w.block);
}

// the writes taken at once: their new contents are recorded in the undo
// file together, with one flush of it
constexpr std::size_t batch_bytes = 8 << 20;

}  // namespace

WritePlan check_write_plan(bool clear)
{
    WritePlan plan;
    std::uint32_t root = volume.root_block;
    if (clear) {
        // only the bitmap-valid flag (and the checksum) change
        put_tail(volume.root_buffer, field::bitmap_flag, 0);
        plan.add(root, PlanContent::Root);
    } else if (Problem reason; bitmap_refused(reason)) {
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
    // a write onto the partition table is refused before the first write
    std::vector<std::uint32_t> blocks = plan.blocks();
    if (refuse_table_writes(blocks.data(), blocks.size()) != 0)
        return 1;
    // from here on a cancel stops the plan between two writes
    run_writing = 1;
    return undo_save_blocks(blocks);
}

int execute_plan(const WritePlan &plan)
{
    // Without an undo file a batch is one write.  With one, a batch runs to
    // the next flush point or 8 MiB: the new contents of its blocks are
    // recorded and flushed to the undo file once, then the blocks are
    // written in order.  Each is then recorded before it is written, as a
    // restore needs, with one flush of the undo file per batch instead of
    // one per block.
    std::size_t most = undo_recording() ? batch_bytes / volume.block_size : 1;
    std::vector<std::uint8_t> contents(most * volume.block_size);
    std::vector<std::uint32_t> blocks;
    bool all_free = false;
    const std::vector<PlannedWrite> &writes = plan.writes;
    for (std::size_t first = 0; first < writes.size();) {
        std::size_t end = first;
        bool unmade = false;  // the writes before it still go out
        blocks.clear();
        while (end < writes.size() && end - first < most) {
            if (produce(writes[end], contents.data() + (end - first) * volume.block_size, all_free) != 0) {
                unmade = true;
                break;
            }
            blocks.push_back(writes[end].block);
            if (writes[end++].flush_after)
                break;
        }
        if (undo_record_planned_writes(blocks.data(), contents.data(), blocks.size()) != 0)
            return 1;
        for (std::size_t i = first; i < end; ++i) {
            // a cancelled run writes nothing more; what it wrote is in order
            if (run_cancelled)
                return 1;
            if (emit(writes[i], contents.data() + (i - first) * volume.block_size) != 0)
                return 1;
            if (writes[i].flush_after && flush_device() != 0)
                return 1;
        }
        if (unmade)
            return 1;
        first = end;
    }
    return 0;
}

int store_bitmap()
{
    if (Problem reason; bitmap_refused(reason)) {
        raise(Problem::RefuseBitmap, 0, std::uint32_t(reason));
        return 1;
    }
    const BitmapChain &chain = bitmap_chain();
    bool all_free = false;
    for (std::uint32_t i = 0; i < chain.pointers.size(); ++i) {
        fill_bitmap_block_of(i, all_free);
        note_bitmap_write(i);
        if (write_block(volume.bitmap_buffer, chain.pointers[i]) != 0)
            return 1;
    }
    put_tail(volume.root_buffer, field::bitmap_flag, 0xFFFFFFFFu);
    return 0;
}
