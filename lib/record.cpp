// The reporter of the runs that keep a record (summary, JSON, fsck's name,
// paths, progress), the fsck(8) exit status, and cancelling.
#include "internal.h"
#include "outcome.h"

#include <bit>
#include <cstdio>
#include <unistd.h>

volatile std::sig_atomic_t run_cancelled;
volatile std::sig_atomic_t run_writing;
bool (*confirm_write)();

namespace {

void on_cancel(int)
{
    run_cancelled = 1;
    // Before the first write there is nothing to keep in order: end now.
    // Once writing, the plan stops at its next write.
    if (!run_writing) {
        static const char erase[] = "\r\033[K";
        if (isatty(STDERR_FILENO))
            (void)!write(STDERR_FILENO, erase, sizeof erase - 1);
        _exit(cancelled_status);
    }
}

}  // namespace

void install_cancel_handlers()
{
    struct sigaction action = {};
    action.sa_handler = on_cancel;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

RunRecord::RunRecord(Reporter *to, bool with_paths, bool want_counts, Progress *progress_to)
    : text(to), paths(with_paths), bar(progress_to)
{
    wants_entries = want_counts || (text && text->wants_entries);
    wants_blocks = text && text->wants_blocks;
    wants_progress = bar && (bar->fd >= 0 || bar->bar);
}

void RunRecord::problem(const Finding &finding)
{
    const ProblemInfo &info = finding.info();
    KeptFinding kept = {finding.problem, finding.block, finding.value, finding.other, finding.count, finding.path()};
    if (bar)
        bar->hide();
    if (text) {
        if (paths && info.style == Style::Error && !kept.path.empty()) {
            // the path first, as a compiler names the file of a message
            text->flush();
            std::string line = finding_text(finding, finding.block);
            std::printf("%s: %s", program_name, path_is_parent(finding.problem) ? "in " : "");
            fwrite_unlocked(kept.path.data(), 1, kept.path.size(), stdout);
            std::fputs(": ", stdout);
            fwrite_unlocked(line.data(), 1, line.size(), stdout);
        } else {
            text->problem(finding);
        }
    }
    findings.push_back(std::move(kept));
}

void RunRecord::entry(const Entry &entry)
{
    switch (entry.secondary_type) {
    case Dir: directories += 1; break;
    case File: files += 1; break;
    default: links += 1; break;
    }
    if (text && text->wants_entries) {
        if (bar)
            bar->hide();
        text->entry(entry);
    }
}

void RunRecord::blocks(const BlockNote &note)
{
    if (text) {
        if (bar && bar->bar_shown) [[unlikely]]
            bar->hide();
        text->blocks(note);
    }
}

void RunRecord::progress(std::uint64_t done, std::uint64_t total)
{
    if (bar)
        bar->update(done, total);
}

void RunRecord::note(Note note, const NoteData &data)
{
    if (note == Note::Detected) {
        detected = true;
        clean = data.b != 0;
    }
    if (bar)
        bar->hide();
    if (text)
        text->note(note, data);
}

void RunRecord::repair(const RepairNote &note)
{
    repairs.push_back({note.problem, note.block, note.kind, note.state, note.what, note.path ? *note.path : ""});
    if (bar)
        bar->hide();
    if (text)
        text->repair(note);
}

void RunRecord::flush()
{
    // before any line outside the report (log_error) as well
    if (bar)
        bar->hide();
    if (text)
        text->flush();
}

bool RunResult::wrote() const
{
    return write_asked && !declined && !unneeded && !cancelled && !read_only && status == 0 &&
           tallies().of(Effect::Refusal) == 0;
}

bool problems_found(const RunRecord &record)
{
    const Tallies &t = tallies();
    return t.of(Effect::HidesBlocks) + t.of(Effect::BitmapError) + t.of(Effect::BitmapDifference) +
                   t.of(Effect::Inconsistency) !=
               0 ||
           (record.detected && !record.clean);
}

int fsck_status(const RunRecord &record, const RunResult &result)
{
    if (result.cancelled || run_cancelled)
        return cancelled_status;
    const Tallies &t = tallies();
    bool found = problems_found(record);
    if (repair_outcome.ran && !device_failed(t)) {
        // what is left is what the walk of the repaired tree still finds
        const Tallies &after = repair_outcome.after;
        bool wrote = result.wrote();
        std::uint64_t rebuilt = wrote ? rebuildable_bitmap_blocks() : 0;
        int status = 0;
        if (repair_outcome.wrote_tree && (repair_outcome.applied != 0 || wrote))
            status |= 1;
        if (!wrote || repair_outcome.left != 0 || after.of(Effect::Operational) != 0 ||
            after.of(Effect::HidesBlocks) + (after.of(Effect::BitmapError) - rebuilt) + after.of(Effect::Inconsistency) != 0)
            status |= 4;
        return status;
    }
    // the device could not be read or written, or the run stopped before
    // it found anything to report
    if (t.of(Effect::Operational) != 0 || (result.status != 0 && t.of(Effect::Refusal) == 0 && !found))
        return 8;
    if (!found)
        return 0;
    int status = 0;
    bool wrote = result.wrote();
    // the write repairs the bitmap, its flag and the bitmap blocks whose
    // pointers are sound; nothing else in the tree
    std::uint64_t rebuilt = wrote ? rebuildable_bitmap_blocks() : 0;
    if (wrote && (t.of(Effect::BitmapDifference) != 0 || !record.clean || rebuilt != 0))
        status |= 1;
    if (!wrote || t.of(Effect::HidesBlocks) + (t.of(Effect::BitmapError) - rebuilt) + t.of(Effect::Inconsistency) != 0)
        status |= 4;
    return status;
}

bool path_is_parent(Problem problem)
{
    return problem == Problem::HeaderChecksum || problem == Problem::HeaderType || problem == Problem::HeaderUnreadable;
}

const char *effect_name(Effect effect)
{
    switch (effect) {
    case Effect::HidesBlocks: return "hides-blocks";
    case Effect::BitmapError: return "bitmap-error";
    case Effect::BitmapDifference: return "bitmap-difference";
    case Effect::Inconsistency: return "inconsistency";
    case Effect::Operational: return "operational";
    case Effect::Refusal: return "refusal";
    }
    return "?";
}

std::string volume_label()
{
    const std::uint8_t *root = volume.root_buffer;
    std::size_t length = root[tail(field::name_length)];
    if (length > field::name)
        length = field::name;
    const char *name = reinterpret_cast<const char *>(root + tail(field::name));
    return std::string(name, strnlen(name, length));
}

std::uint64_t blocks_in_use_rebuilt()
{
    if (!volume.work_map || volume.total_blocks <= volume.reserved_blocks)
        return volume.total_blocks;
    std::uint64_t blocks = std::uint64_t(volume.total_blocks) - volume.reserved_blocks;
    // whole 32-bit words of the map at once (their byte order does not
    // matter to a count), the rest block by block
    std::uint64_t words = blocks / 32, used = volume.reserved_blocks;
    for (std::uint64_t i = 0; i < words * 4; ++i)
        used += std::uint64_t(std::popcount(volume.work_map[i]));
    for (std::uint64_t b = words * 32; b < blocks; ++b)
        used += std::uint64_t(block_is_used(std::uint32_t(b + volume.reserved_blocks)));
    return used;
}
