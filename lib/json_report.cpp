// The JSON report: one document on standard output in place of the text.
// A small writer of its own: the document has one fixed shape, and the only
// delicate part, the names on the volume, needs a conversion no general
// library makes (their bytes are ISO-8859-1, not UTF-8).
#include "internal.h"
#include "outcome.h"

#include <cstdio>

void json_string(std::string &out, const char *bytes, std::size_t length)
{
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else if (c >= 0x80) {
                // ISO-8859-1: the byte is the code point
                out += char(0xC0 | (c >> 6));
                out += char(0x80 | (c & 0x3F));
            } else {
                out += char(c);
            }
        }
    }
    out += '"';
}

namespace {

void key(std::string &out, const char *name)
{
    if (out.back() != '{' && out.back() != '[')
        out += ',';
    out += '"';
    out += name;
    out += "\":";
}

void number(std::string &out, const char *name, std::uint64_t value)
{
    key(out, name);
    out += std::to_string(value);
}

void text(std::string &out, const char *name, const std::string &value)
{
    key(out, name);
    json_string(out, value);
}

void boolean(std::string &out, const char *name, bool value)
{
    key(out, name);
    out += value ? "true" : "false";
}

std::string variant_words(std::uint8_t variant)
{
    std::string words;
    if (variant & International)
        words += "international ";
    if (variant & DirCache)
        words += "dircache ";
    if (variant & MultiUser)
        words += "multiuser ";
    words += (variant & OldFormat) ? "old" : "fast";
    return words;
}

}  // namespace

// the message of a finding: its text, or for a run of bitmap differences
// what the blocks are
std::string finding_message(const KeptFinding &f)
{
    if (problem_info(f.problem).effect == Effect::BitmapDifference) {
        const char *what = f.problem == Problem::BitmapUsedFree ? "in use but marked free" : "marked in use but unused";
        std::string range = std::to_string(f.block);
        if (f.count > 1)
            range = "blocks " + range + " to " + std::to_string(std::uint64_t(f.block) + f.count - 1);
        else
            range = "block " + range;
        return range + " " + what;
    }
    Finding finding = {f.problem, f.block, f.value, f.other, f.count, nullptr};
    std::string line = finding_text(finding, f.block);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
        line.pop_back();
    return line;
}

std::string variant_name(std::uint8_t variant) { return variant_words(variant); }

std::string json_report(const RunRecord &record, const RunResult &result, int exit_status)
{
    std::string out = "{";
    number(out, "version", 1);
    text(out, "program", program_name);
    text(out, "device", volume.device_path ? volume.device_path : "");
    key(out, "volume");
    if (record.detected) {
        out += '{';
        text(out, "name", volume_label());
        text(out, "variant", variant_words(volume.variant));
        char dos[20];
        dos_type_text(dos_type_from_flags(volume.variant), dos);
        text(out, "dos_type", dos);
        number(out, "block_size", volume.block_size);
        number(out, "root_block", volume.root_block);
        number(out, "reserved_blocks", volume.reserved_blocks);
        number(out, "total_blocks", volume.total_blocks);
        number(out, "used_blocks", blocks_in_use_rebuilt());
        boolean(out, "bitmap_valid", record.clean);
        number(out, "files", record.files);
        number(out, "directories", record.directories);
        number(out, "links", record.links);
        out += '}';
    } else {
        out += "null";
    }
    key(out, "problems");
    out += '[';
    for (const KeptFinding &f : record.findings) {
        const ProblemInfo &info = problem_info(f.problem);
        if (out.back() != '[')
            out += ',';
        out += '{';
        text(out, "code", info.code);
        text(out, "effect", effect_name(info.effect));
        text(out, "message", finding_message(f));
        number(out, "block", f.block);
        number(out, "count", f.count);
        number(out, "other", f.other);
        number(out, "value", f.value);
        key(out, "path");
        if (f.path.empty())
            out += "null";
        else
            json_string(out, f.path);
        out += '}';
    }
    out += ']';
    const Tallies &t = tallies();
    key(out, "tallies");
    out += "{\"by_effect\":{";
    for (std::size_t e = 0; e < effect_count; ++e)
        number(out, effect_name(Effect(e)), t.by_effect[e]);
    out += "},\"by_problem\":{";
    for (std::size_t p = 0; p < problem_count; ++p)
        if (t.by_problem[p] != 0)
            number(out, problem_info(Problem(p)).code, t.by_problem[p]);
    out += "}}";
    key(out, "actions");
    out += '[';
    if (result.write_asked) {
        out += '{';
        text(out, "action", "write-bitmap");
        boolean(out, "done", result.wrote());
        text(out, "reason", result.wrote()       ? "written"
                            : result.cancelled   ? "cancelled"
                            : result.declined    ? "declined"
                            : result.unneeded    ? "nothing-to-repair"
                            : result.read_only   ? "read-only"
                            : t.of(Effect::Refusal) ? "refused"
                                                 : "failed");
        out += '}';
    }
    for (const KeptRepair &r : record.repairs) {
        if (out.back() != '[')
            out += ',';
        out += '{';
        text(out, "action", "repair");
        boolean(out, "done", r.state == RepairState::Done && repair_outcome.wrote_tree);
        text(out, "state", r.kind == RepairClass::ReportOnly ? "not-repaired"
                          : r.state == RepairState::Done   ? "applied"
                          : r.state == RepairState::Left   ? "left"
                                                           : "would-apply");
        text(out, "class", r.kind == RepairClass::Safe       ? "safe"
                          : r.kind == RepairClass::NeedsYes ? "needs-y"
                                                            : "report-only");
        text(out, "code", problem_info(r.problem).code);
        number(out, "block", r.block);
        text(out, "message", r.what);
        key(out, "path");
        if (r.path.empty())
            out += "null";
        else
            json_string(out, r.path);
        out += '}';
    }
    out += ']';
    number(out, "exit_status", std::uint64_t(exit_status));
    out += "}\n";
    return out;
}
