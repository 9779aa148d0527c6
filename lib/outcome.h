// What a check run leaves for scripts and people besides its text: the
// fsck(8) exit status, the summary, the JSON document and the progress.
//
// RunRecord is the reporter of such a run.  It hands everything on to the
// text reporter (or to nothing, for JSON), keeps the findings, counts the
// entries of the tree, draws the progress, and afterwards gives what the
// summary, the JSON document and the exit status are made of.
#pragma once

#include "report.h"

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Cancelling.  SIGINT and SIGTERM set run_cancelled; before the first write
// of a run the handler ends the process at once (status 32), afterwards the
// write plan stops at its next write, so that the writes made so far keep
// their crash-safe order.
extern volatile std::sig_atomic_t run_cancelled;
extern volatile std::sig_atomic_t run_writing;
constexpr int cancelled_status = 32;
void install_cancel_handlers();

// Asked by the checker's -w once the tree is walked and the bitmaps are
// compared, before anything is saved or written: false writes nothing and
// the run ends as if no write had been asked for.  Null: always write.
extern bool (*confirm_write)();

// ---------------------------------------------------------------------------
// JSON text.  Names on the volume are ISO-8859-1 bytes: every byte becomes
// its character, so that any name gives valid UTF-8.
void json_string(std::string &out, const char *bytes, std::size_t length);
inline void json_string(std::string &out, const std::string &text) { json_string(out, text.data(), text.size()); }

// ---------------------------------------------------------------------------
// Progress: `fd` gets lines "PASS CURRENT MAX DEVICE" at most ten a second
// (-1: none); `bar` draws a line on standard error once the run has lasted a
// second.
struct Progress {
    int fd = -1;
    bool bar = false;
    const char *device = "";
    std::uint64_t start_ns = 0, last_line_ns = 0, last_bar_ns = 0;
    std::uint64_t done = 0, total = 0;
    bool bar_shown = false;
    void begin();
    void update(std::uint64_t done, std::uint64_t total);
    // erases the bar (before other output on the terminal); the next update draws it again
    void hide();
    // erases the bar; a completed walk gets its last line
    void end(bool completed);
    // the line of -C for `count` blocks done out of `out_of`
    std::string progress_line(std::uint64_t count, std::uint64_t out_of) const;
};
// the text of one bar of `width` columns
std::string progress_bar(std::uint64_t done, std::uint64_t total, double seconds, std::size_t width);

// ---------------------------------------------------------------------------
struct KeptFinding {
    Problem problem;
    std::uint32_t block, value, other, count;
    std::string path;
};

struct KeptRepair {
    Problem problem;
    std::uint32_t block;
    RepairClass kind;
    RepairState state;
    std::string what, path;
};

struct RunRecord final : Reporter {
    // `text`: the reporter that prints, or null (JSON); `paths`: the text of
    // findings about an entry names its path
    RunRecord(Reporter *text, bool paths, bool want_counts, Progress *progress);
    void problem(const Finding &finding) override;
    void entry(const Entry &entry) override;
    void blocks(const BlockNote &note) override;
    void progress(std::uint64_t done, std::uint64_t total) override;
    void note(Note note, const NoteData &data) override;
    void repair(const RepairNote &note) override;
    void flush() override;

    Reporter *text;
    bool paths;
    Progress *bar;
    std::vector<KeptFinding> findings;
    std::vector<KeptRepair> repairs;
    std::uint64_t files = 0, directories = 0, links = 0;
    bool detected = false;
    bool clean = true;  // the root's bitmap-valid flag as read
};

// What the repair of the tree did in this run (check.cpp).
struct RepairOutcome {
    bool ran = false;         // the tree was repaired (not only told)
    bool wrote_tree = false;  // its writes went out whole
    std::uint64_t applied = 0, left = 0;
    Tallies after = {};       // the findings of the walk of the repaired tree
};
extern RepairOutcome repair_outcome;
// true when the device failed a transfer or memory ran out: no repair of
// the tree is made over what that hid
bool device_failed(const Tallies &tallies);

// What the run did, as the summary, the JSON and the exit status see it.
struct RunResult {
    int status = 0;           // run_check's
    bool write_asked = false; // -w, -p, -a, -y
    bool declined = false;    // the user said no to the write
    bool unneeded = false;    // nothing to repair: the write was left out
    bool cancelled = false;
    bool read_only = false;
    // true when the rebuilt bitmap went out whole and marked valid
    bool wrote() const;
};

// Problems found: every effect but operational and refusal, and a bitmap
// not marked valid.
bool problems_found(const RunRecord &record);
// fsck(8)'s status: 0 nothing found, 1 found and all corrected, 4 left
// uncorrected, 8 operational error, 32 cancelled (1 and 4 may add up).
int fsck_status(const RunRecord &record, const RunResult &result);

// Findings about a header that could not be read or trusted (its name
// neither) carry the path of the directory that holds it.
bool path_is_parent(Problem problem);

// the effect's name in the summary and the JSON
const char *effect_name(Effect effect);
// the volume's name from the root block, as its bytes
std::string volume_label();
// blocks in use in the rebuilt map, with the reserved blocks
std::uint64_t blocks_in_use_rebuilt();

// The summary's lines, last, and the JSON document (`exit_status` the
// program's).
void print_summary(const RunRecord &record, const RunResult &result);
std::string json_report(const RunRecord &record, const RunResult &result, int exit_status);
// the lines the confirmation shows: one per finding other than bitmap
// differences, then one of the bitmap's
std::string problem_list(const RunRecord &record);
// a finding's message without its line end; a run of bitmap differences as
// its range
std::string finding_message(const KeptFinding &finding);
// the variant's words, as the detection line has them: "international fast"
std::string variant_name(std::uint8_t variant);
