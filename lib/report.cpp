// The catalogue of problems, the raising of findings and the run's tallies.
#include "internal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

using E = Effect;
using S = Style;

// One row per entry of Problem, in its order (a test holds the two together).
constexpr ProblemInfo catalogue[] = {
    {"read-reserved", E::Operational, S::Error, "unable to read block %d (block is reserved)\n", "b"},
    {"read-out-of-range", E::Operational, S::Error, "unable to read block %d (block is out of range)\n", "b"},
    {"read-error", E::Operational, S::Error, "unable to read block %d (%s)\n", "be"},
    {"read-short", E::Operational, S::Error, "short read of block %d (%d of %d)\n", "bvo"},
    {"seek-error", E::Operational, S::Error, "unable to seek to block %d (%s)\n", "be"},
    {"write-reserved", E::Operational, S::Error, "unable to write block %d (block is reserved)\n", "b"},
    {"write-out-of-range", E::Operational, S::Error, "unable to write block %d (block is out of range)\n", "b"},
    {"write-error", E::Operational, S::Error, "unable to write block %d (%s)\n", "be"},
    {"write-short", E::Operational, S::Error, "short write of block %d (%d of %d)\n", "bvo"},
    {"flush-error", E::Operational, S::Error, "unable to flush device (%s)\n", "e"},

    {"root-not-found", E::Operational, S::Error, "unable to find root block\n", ""},
    {"unknown-dos-type", E::Operational, S::Error, "unknown DOS type 0x%08x\n", "v"},
    {"partition-table", E::Operational, S::Error,
     "the device has a partition table: --partitions lists it, -p PART checks one partition\n", ""},

    {"map-memory", E::Operational, S::Error, "unable to allocate bitmap\n", ""},
    {"visited-memory", E::Operational, S::Error, "unable to allocate the record of visited blocks\n", ""},
    {"level-memory", E::Operational, S::Error, "unable to allocate a buffer for directory level %u\n", "v"},

    {"header-checksum", E::HidesBlocks, S::Error, "dir entry %d has invalid checksum (%x)\n", "bv"},
    {"header-type", E::HidesBlocks, S::Error, "dir entry %d has invalid primary type %d\n", "bv"},
    {"header-root-type", E::HidesBlocks, S::Error, "dir entry %d has root type\n", "b"},
    {"header-secondary-type", E::HidesBlocks, S::Error, "dir entry %d has unknown secondary type %d\n", "bv"},
    {"header-unreadable", E::HidesBlocks, S::Silent, "dir entry %d is unreadable\n", "b"},
    {"header-key", E::Inconsistency, S::Error, "wrong header key (%u, %u)\n", "vb"},
    {"entry-parent", E::Inconsistency, S::Error, "dir entry %d has wrong parent (%u, %u)\n", "bvo"},
    {"entry-hash-slot", E::Inconsistency, S::Error, "dir entry %d is in hash slot %u, its name hashes to %u\n", "bov"},
    {"entry-loop", E::Inconsistency, S::Error, "dir entry %d already visited\n", "b"},

    {"file-block-count", E::Inconsistency, S::Error, "wrong blockcount %d in %d\n", "vb"},
    {"file-block-past-size", E::Inconsistency, S::Error, "block %d exceeds file size\n", "b"},
    {"extension-past-size", E::Inconsistency, S::Error, "extended block %d exceeds file size\n", "b"},
    {"extension-checksum", E::HidesBlocks, S::Error, "extended block %d has invalid checksum (%x)\n", "bv"},
    {"extension-type", E::HidesBlocks, S::Error, "extended block %d has invalid primary type %d\n", "bv"},
    {"extension-unreadable", E::HidesBlocks, S::Silent, "extended block %d is unreadable\n", "b"},
    {"extension-key", E::Inconsistency, S::Error, "extended block %d has wrong header key (%u, %u)\n", "bvb"},
    {"extension-parent", E::Inconsistency, S::Error, "extended block %d has wrong parent (%u, %u)\n", "bvo"},
    {"extension-secondary-type", E::Inconsistency, S::Error, "extended block %d has invalid secondary type %d\n",
     "bv"},
    {"extension-loop", E::Inconsistency, S::Error, "extended block %d already visited\n", "b"},

    // an OFS data block that disagrees with its file's list: its data is not
    // trusted by the copy-out, but the list hides nothing from the walk
    {"data-type", E::Inconsistency, S::Error, "data block %d has invalid primary type %d\n", "bv"},
    {"data-checksum", E::Inconsistency, S::Error, "data block %d has invalid checksum (%x)\n", "bv"},
    {"data-key", E::Inconsistency, S::Error, "data block %d has wrong header key (%u, %u)\n", "bvo"},
    {"data-sequence", E::Inconsistency, S::Error, "data block %d has wrong sequence number (%u, %u)\n", "bvo"},
    {"data-size", E::Inconsistency, S::Error, "data block %d has wrong data size (%u, %u)\n", "bvo"},
    {"data-next", E::Inconsistency, S::Error, "data block %d has wrong next block (%u, %u)\n", "bvo"},

    {"dircache-checksum", E::HidesBlocks, S::Error, "dcache entry %d has invalid checksum\n", "b"},
    {"dircache-unreadable", E::HidesBlocks, S::Silent, "dcache entry %d is unreadable\n", "b"},
    {"dircache-key", E::Inconsistency, S::Error, "dcache entry %d has key\n", "b"},
    {"dircache-loop", E::Inconsistency, S::Error, "dcache entry %d already visited\n", "b"},

    {"block-reserved", E::Inconsistency, S::Error, "can't allocate block %d (block is reserved)\n", "b"},
    {"block-out-of-range", E::Inconsistency, S::Error, "can't allocate block %d (block is out of range)\n", "b"},
    {"block-in-use", E::Inconsistency, S::Error, "block %d already allocated\n", "b"},

    {"bitmap-checksum", E::BitmapError, S::Error, "bitmap block %u has invalid checksum\n", "b"},
    {"bitmap-unreadable", E::BitmapError, S::Error, "bitmap block %u is unreadable\n", "b"},
    {"bitmap-pointer-in-use", E::BitmapError, S::Silent, "bitmap block %u is in use already\n", "b"},
    {"bitmap-ext-unreadable", E::BitmapError, S::Silent, "bitmap extension block %u is unreadable\n", "b"},
    {"bitmap-missing", E::BitmapError, S::Error, "bitmap blocks missing\n", ""},
    {"bitmap-ext-loop", E::BitmapError, S::Error, "bitmap extension chain loops at block %d\n", "b"},

    {"bitmap-used-free", E::BitmapDifference, S::Detail, "<%d> ", "b"},
    {"bitmap-free-used", E::BitmapDifference, S::Detail, "{%d} ", "b"},

    {"refuse-tree", E::Refusal, S::Error, "error in directory tree. abort writing bitmap\n", ""},
    {"refuse-bitmap", E::Refusal, S::Error, "error in bitmap (%s). abort writing bitmap\n", "c"},
    {"refuse-reserved", E::Refusal, S::Error, "the bitmap fits %u reserved blocks better than %u; check -r\n", "vo"},
};
static_assert(sizeof catalogue / sizeof catalogue[0] == problem_count, "one catalogue row per problem");

const PathSource *current_path;
Tallies counted;

}  // namespace

std::uint64_t stray_lines;

const ProblemInfo &problem_info(Problem problem) { return catalogue[std::size_t(problem)]; }

std::string Finding::path() const
{
    std::string text;
    if (where)
        where->build(where->context, text);
    return text;
}

std::string finding_text(const Finding &finding, std::uint32_t block)
{
    const ProblemInfo &info = finding.info();
    std::string text;
    const char *args = info.args;
    for (const char *p = info.text; *p; ++p) {
        if (*p != '%') {
            text += *p;
            continue;
        }
        // one conversion: flags and width, then its letter
        const char *start = p++;
        while (*p && !std::strchr("diuxs", *p))
            ++p;
        std::string conversion(start, std::size_t(p - start + 1));
        char arg = *args ? *args++ : 'v';
        std::uint32_t number = arg == 'b' ? block : arg == 'o' ? finding.other : finding.value;
        char piece[128];
        if (*p == 's' && arg == 'c')
            std::snprintf(piece, sizeof piece, conversion.c_str(), problem_info(Problem(number)).code);
        else if (*p == 's')
            std::snprintf(piece, sizeof piece, conversion.c_str(), std::strerror(int(number)));
        else
            std::snprintf(piece, sizeof piece, conversion.c_str(), number);
        text += piece;
    }
    return text;
}

Reporter *current_reporter;

void begin_report(Reporter &reporter)
{
    current_reporter = &reporter;
    current_path = nullptr;
    std::memset(&counted, 0, sizeof counted);
}

void end_report()
{
    current_reporter = nullptr;
    current_path = nullptr;
}

void reset_report()
{
    current_reporter = nullptr;
    current_path = nullptr;
    std::memset(&counted, 0, sizeof counted);
}

Reporter &fallback_reporter()
{
    // a caller that installed none: what the tools print
    static TextReporter fallback(0);
    fallback.verbosity = volume.verbosity;
    fallback.wants_entries = volume.verbosity >= 1;
    fallback.wants_blocks = volume.verbosity >= 2;
    return fallback;
}

const Tallies &tallies() { return counted; }

void resume_report(Reporter &reporter, const Tallies &kept)
{
    current_reporter = &reporter;
    current_path = nullptr;
    counted = kept;
}

const char *repair_state_text(const RepairNote &note)
{
    switch (note.state) {
    case RepairState::Done: return "repaired";
    case RepairState::Left: return note.kind == RepairClass::ReportOnly ? "not repaired" : "left for -y";
    case RepairState::WouldDo: return note.kind == RepairClass::Safe ? "-p would repair" : "-y would repair";
    }
    return "";
}

void set_report_path(const PathSource *where) { current_path = where; }

void raise(Problem problem, std::uint32_t block, std::uint32_t value, std::uint32_t other)
{
    counted.by_problem[std::size_t(problem)] += 1;
    counted.by_effect[std::size_t(problem_info(problem).effect)] += 1;
    reporter().problem({problem, block, value, other, 1, current_path});
}

void raise_run(Problem problem, std::uint32_t block, std::uint32_t count)
{
    counted.by_problem[std::size_t(problem)] += count;
    counted.by_effect[std::size_t(problem_info(problem).effect)] += count;
    reporter().problem({problem, block, 0, 0, count, nullptr});
}

void Reporter::data_blocks(const std::uint8_t *table, std::uint32_t count)
{
    for (std::uint32_t i = count; i-- > 0;)
        blocks({BlockKind::Data, BlockAction::Trace, get_long(table, 4 * i), 0, false});
}

// ---------------------------------------------------------------------------
// The text reporter

TextReporter::TextReporter(int level) : verbosity(level)
{
    wants_entries = level >= 1;
    wants_blocks = level >= 2;
}

TextReporter::~TextReporter() { flush(); }

void TextReporter::flush()
{
    if (pending_length != 0)
        fwrite_unlocked(pending, 1, pending_length, stdout);
    pending_length = 0;
}

void TextReporter::problem(const Finding &finding)
{
    flush();
    const ProblemInfo &info = finding.info();
    switch (info.style) {
    case Style::Silent: return;
    case Style::Detail:
        if (verbosity < 2)
            return;
        for (std::uint64_t b = finding.block; b < std::uint64_t(finding.block) + finding.count; ++b)
            std::printf(info.text, int(std::uint32_t(b)));
        return;
    case Style::Error: break;
    }
    std::string text = finding_text(finding, finding.block);
    std::printf("%s: ", program_name);
    fwrite_unlocked(text.data(), 1, text.size(), stdout);
}

void TextReporter::repair(const RepairNote &note)
{
    flush();
    std::printf("%s: %s: ", program_name, repair_state_text(note));
    if (note.path && !note.path->empty())
        std::printf("%s: ", note.path->c_str());
    std::printf("%s\n", note.what);
}

void TextReporter::entry(const Entry &entry)
{
    if (verbosity < 1)
        return;
    // the line joins the traces that wait, and goes out with them
    if (pending_length > sizeof pending - listing_line_room)
        flush();
    pending_length += format_listing_line(entry.header, entry.secondary_type, pending + pending_length);
}

void TextReporter::blocks(const BlockNote &note)
{
    if (verbosity < 2)
        return;
    switch (note.action) {
    case BlockAction::Trace:
        if (note.kind == BlockKind::Extension) {
            flush();
            std::printf("\n [ext:%u]", note.block);
            return;
        }
        if (pending_length > sizeof pending - 16)
            flush();
        pending_length += put_trace(pending + pending_length, note.block, last);
        return;
    case BlockAction::TraceEnd:
        if (pending_length == sizeof pending)
            flush();
        pending[pending_length++] = '\n';
        return;
    case BlockAction::Read:
    case BlockAction::Write: {
        flush();
        const char *verb = note.action == BlockAction::Read ? "read" : "write";
        if (note.kind == BlockKind::BitmapExt)
            std::printf("%s ext bitmap: %u\n", verb, note.block);
        else if (note.in_root)  // the root's pointers have always been shown signed
            std::printf("%s bitmap %d : %d\n", verb, int(note.index), int(note.block));
        else
            std::printf("%s bitmap %d: %u\n", verb, int(note.index), note.block);
        return;
    }
    case BlockAction::Alloc:
        flush();
        if (note.kind == BlockKind::BitmapExt)
            std::printf("alloc ext bitmap at %d\n", int(note.block));
        else
            std::printf("alloc bitmap %d at %d\n", int(note.index), int(note.block));
        return;
    }
}

// The traces of a whole run at once, with the last trace and the step to
// the next one kept in local objects, which the compiler keeps in
// registers: on a large volume they are most of the output.  The text of a
// block that follows the last one is made from the last text; only where
// its length would change, or the blocks do not follow each other, is it
// made afresh from the digits.  Between two
// looks at the room left in `pending` go as many traces as surely fit.
void TextReporter::data_blocks(const std::uint8_t *table, std::uint32_t count)
{
    if (verbosity < 2)
        return;
    LastTrace at = last;
    TraceStep step = next_step(at);
    std::size_t used = pending_length;
    std::uint32_t i = count;  // the pointers [0, i) are left
    while (i > 0) {
        if (used > sizeof pending - 16) {
            fwrite_unlocked(pending, 1, used, stdout);
            used = 0;
        }
        std::uint32_t fit = std::uint32_t(std::min<std::size_t>(i, (sizeof pending - used) / 16));
        for (std::uint32_t end = i - fit; i > end; --i) {
            std::uint32_t block = get_long(table, 4 * (i - 1));
            // (a 64-bit sum: block 0 does not follow block 2^32 - 1)
            bool follows = block == std::uint64_t(at.block) + 1;
            if (follows && step.room != 0) {
                at.low += step.low;
                at.high += step.high;
                at.block = block;
                step.room -= 1;
            } else if (follows && step.carries) {
                at.low += step.carry_low;
                at.high += step.carry_high;
                at.block = block;
                step = next_step(at);
            } else {
                fresh_trace(block, at);
                step = next_step(at);
            }
            std::memcpy(pending + used, &at.low, 8);
            std::memcpy(pending + used + 8, &at.high, 8);
            used += at.length;
        }
    }
    pending_length = used;
    last = at;
}

void TextReporter::note(Note note, const NoteData &data)
{
    flush();
    switch (note) {
    case Note::RootFound:
        if (verbosity >= 1)
            std::printf("root block found at %d\n", int(data.a));
        return;
    case Note::Detected:
        std::printf("detected a %s%s%s%s amiga filesystem%s\n", (data.a & International) ? "international " : "",
                    (data.a & DirCache) ? "dircache " : "", (data.a & MultiUser) ? "multiuser " : "",
                    (data.a & OldFormat) ? "old" : "fast", data.b == 0 ? " (not cleanly unmounted)" : "");
        return;
    case Note::CompareBegin:
        if (verbosity >= 2)
            std::fputs("bitmap check: ", stdout);
        return;
    case Note::CompareEnd:
        if (verbosity >= 2)
            std::fputs("\n", stdout);
        return;
    case Note::WritingRoot:
        if (verbosity >= 1)
            std::printf("writing root block at %d\n", int(data.a));
        return;
    case Note::Geometry:
        // signed, as the report has always shown them
        std::printf("blocks: %d\n", int(data.a));
        std::printf("blocksize: %d\n", int(data.b));
        std::printf("reserved blocks: %d\n", int(data.c));
        std::printf("rootblock: %d\n", int(data.d));
        return;
    }
}
