// The summary: a few lines after everything else, in the manner of the last
// lines of other checkers.  Every line starts with the volume's name (or the
// device's, when no volume was found; "(no name)" for an empty one), then a
// word that says what it holds:
//
//   Work: fast amiga filesystem (DOS\1), blocks of 512 bytes
//   Work: 24/1760 blocks used, 3 files, 2 directories, 0 links
//   Work: problems: 1 hides-blocks, 0 bitmap-error, 5 bitmap-difference, 0 inconsistency, 0 operational, 1 refusal
//   Work: bitmap: 5 blocks wrong: 883-885 900 1201
//   Work: repaired: nothing
#include "internal.h"
#include "outcome.h"

#include <cstdio>

namespace {

// the first runs of bitmap differences shown; the rest are counted
constexpr std::size_t ranges_shown = 8;

void put(const std::string &prefix, const std::string &line)
{
    std::string whole = prefix + ": " + line + "\n";
    fwrite_unlocked(whole.data(), 1, whole.size(), stdout);
}

}  // namespace

std::string problem_list(const RunRecord &record)
{
    std::string list;
    std::uint64_t wrong = 0;
    for (const KeptFinding &f : record.findings) {
        if (problem_info(f.problem).effect == Effect::BitmapDifference) {
            wrong += f.count;
            continue;
        }
        list += "  ";
        if (!f.path.empty())
            list += (path_is_parent(f.problem) ? "in " : "") + f.path + ": ";
        list += finding_message(f) + "\n";
    }
    if (wrong != 0)
        list += "  the bitmap is wrong for ", list += std::to_string(wrong), list += wrong == 1 ? " block\n" : " blocks\n";
    if (record.detected && !record.clean)
        list += "  the bitmap is not marked valid\n";
    return list;
}

void print_summary(const RunRecord &record, const RunResult &result)
{
    std::string prefix = record.detected ? volume_label() : std::string(volume.device_path ? volume.device_path : "");
    if (prefix.empty())
        prefix = "(no name)";
    if (record.detected) {
        char dos[20];
        dos_type_text(dos_type_from_flags(volume.variant), dos);
        put(prefix, variant_name(volume.variant) + " amiga filesystem (" + dos + "), blocks of " +
                        std::to_string(volume.block_size) + " bytes" + (record.clean ? "" : ", not cleanly unmounted"));
        put(prefix, std::to_string(blocks_in_use_rebuilt()) + "/" + std::to_string(volume.total_blocks) +
                        " blocks used, " + std::to_string(record.files) + " files, " +
                        std::to_string(record.directories) + " directories, " + std::to_string(record.links) +
                        " links");
    }
    const Tallies &t = tallies();
    std::string line = "problems:";
    for (std::size_t e = 0; e < effect_count; ++e) {
        line += e == 0 ? " " : ", ";
        line += std::to_string(t.by_effect[e]) + " " + effect_name(Effect(e));
    }
    put(prefix, line);
    std::uint64_t wrong = t.of(Effect::BitmapDifference);
    if (wrong != 0) {
        // appended piece by piece: g++ 12 at -O3 warns of an overlapping copy
        // (-Wrestrict) inside std::string for "text" + std::to_string(n)
        line = "bitmap: ", line += std::to_string(wrong), line += wrong == 1 ? " block wrong:" : " blocks wrong:";
        std::size_t shown = 0, runs = 0;
        for (const KeptFinding &f : record.findings) {
            if (problem_info(f.problem).effect != Effect::BitmapDifference)
                continue;
            runs += 1;
            if (shown == ranges_shown)
                continue;
            shown += 1;
            line += ' ', line += std::to_string(f.block);
            if (f.count > 1)
                line += '-', line += std::to_string(std::uint64_t(f.block) + f.count - 1);
        }
        if (runs > shown)
            line += " and ", line += std::to_string(runs - shown), line += runs - shown == 1 ? " more range" : " more ranges";
        put(prefix, line);
    }
    if (repair_outcome.ran) {
        std::uint64_t done = repair_outcome.wrote_tree ? repair_outcome.applied : 0;
        line = "repaired: ", line += std::to_string(done), line += done == 1 ? " repair of the tree" : " repairs of the tree";
        line += result.wrote() ? ", bitmap rebuilt and marked valid" : ", bitmap not written";
        if (repair_outcome.left != 0)
            line += ", ", line += std::to_string(repair_outcome.left), line += " left for -y";
    } else if (result.wrote())
        line = "repaired: bitmap rebuilt and marked valid";
    else if (result.cancelled || run_cancelled)
        line = "repaired: nothing (cancelled)";
    else if (!result.write_asked)
        line = "repaired: nothing (check only)";
    else if (result.declined)
        line = "repaired: nothing (declined)";
    else if (result.unneeded)
        line = "repaired: nothing (nothing to repair)";
    else if (t.of(Effect::Refusal) != 0)
        line = "repaired: nothing (refused)";
    else
        line = "repaired: nothing (the write failed)";
    put(prefix, line);
}
