// Findings as records.  Every problem the checker can report is one entry of
// the catalogue (report.cpp): a stable code, its effect, its text and the
// values the text takes.  A finding is raised once, where it is met, with
// raise(); the reporter of the run decides what becomes of it (the text
// reporter prints it as the tools always have), and the run's tallies count
// it by entry and by effect, so that verdicts are taken from the tallies,
// not from counters kept beside the messages.
//
// Besides problems, the walk, the bitmap load and the comparison tell the
// same reporter what they list (entries), which blocks they trace, read,
// write or allocate (block notes), how far they are (progress), and the
// few lines that are neither (notes: the root found, the variant detected).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What a finding means for the volume and for the run.
enum class Effect : std::uint8_t {
    HidesBlocks,       // damage ended a chain early: blocks behind it were never walked
    BitmapError,       // the volume's bitmap cannot be read or trusted as a whole
    BitmapDifference,  // one block's bit on the volume disagrees with the tree
    Inconsistency,     // the tree disagrees with itself, but nothing is hidden
    Operational,       // the device could not be read or written, memory ran out
    Refusal,           // a write that was asked for was refused
};
constexpr std::size_t effect_count = 6;

// How the text reporter shows a finding.
enum class Style : std::uint8_t {
    Error,   // the program's name, ": " and the text, at every verbosity
    Detail,  // the text alone, from verbosity 2 on (once per block of a run)
    Silent,  // nothing: another message has said it, or nothing ever did
};

// The catalogue.  The order of this list is the order of the table in
// report.cpp; codes (the names in the table) are what stays stable.
enum class Problem : std::uint16_t {
    // reading and writing the device
    ReadReserved, ReadOutOfRange, ReadError, ReadShort, SeekError,
    WriteReserved, WriteOutOfRange, WriteError, WriteShort, FlushError,
    // finding the volume
    RootNotFound, UnknownDosType, PartitionTableHint,
    // memory
    MapMemory, VisitedMemory, LevelMemory,
    // directory entries
    HeaderChecksum, HeaderType, HeaderRootType, HeaderSecondaryType, HeaderUnreadable,
    HeaderKey, EntryParent, EntryHashSlot, EntryLoop,
    // files
    FileBlockCount, FileBlockPastSize, ExtensionPastSize,
    ExtensionChecksum, ExtensionType, ExtensionUnreadable,
    ExtensionKey, ExtensionParent, ExtensionSecondaryType, ExtensionLoop,
    // OFS data blocks
    DataType, DataChecksum, DataKey, DataSequence, DataSize, DataNext,
    // directory caches
    DircacheChecksum, DircacheUnreadable, DircacheKey, DircacheLoop,
    // blocks claimed by the tree
    BlockReserved, BlockOutOfRange, BlockInUse,
    // the bitmap on the volume
    BitmapChecksum, BitmapUnreadable, BitmapPointerInUse, BitmapExtUnreadable,
    BitmapMissing, BitmapExtLoop,
    // the comparison
    BitmapUsedFree, BitmapFreeUsed,
    // refusals of -w
    RefuseTree, RefuseBitmap, RefuseReserved,
    Count
};
constexpr std::size_t problem_count = std::size_t(Problem::Count);

struct ProblemInfo {
    const char *code;   // stable: never renamed once released
    Effect effect;
    Style style;
    const char *text;   // exactly as printed, a printf format
    // the values the text takes, in its order: b block, o other, v value,
    // e the system's text for the error number in value, c the code of the
    // catalogue entry numbered value
    const char *args;
};

const ProblemInfo &problem_info(Problem problem);

// The path of the entry a finding or a listing line is about, made only
// when a reporter asks for it: its names from the root, joined with '/'.
struct PathSource {
    void (*build)(const void *context, std::string &path);
    const void *context;
};

struct Finding {
    Problem problem;
    std::uint32_t block;  // the block it is about
    std::uint32_t value;  // a number the text shows (a key, a sum, a count, an error number)
    std::uint32_t other;  // a second block or number
    std::uint32_t count;  // blocks it covers: a run of bitmap differences from `block` on, else 1
    const PathSource *where;  // the entry it is about, or null
    const ProblemInfo &info() const { return problem_info(problem); }
    // the entry's path, or an empty text
    std::string path() const;
};

// The text of a finding for one block (`block` in place of the finding's own
// for a run), as the text reporter prints it, without the program's name.
std::string finding_text(const Finding &finding, std::uint32_t block);

// What an entry of the listing is: its header block as read, and where it is.
struct Entry {
    const std::uint8_t *header;
    std::uint32_t block;
    std::int32_t secondary_type;
    const PathSource *where;
    // directories between the walk's start and the entry: 0 in the root
    // (or in the directory a walk of a subtree starts from)
    std::uint32_t depth = 0;
};

// The blocks the runs trace, read, write and allocate.
enum class BlockKind : std::uint8_t { Header, Data, Extension, Dircache, Bitmap, BitmapExt };
enum class BlockAction : std::uint8_t {
    Trace,     // marked by the walk (Extension: after its mark; the others before)
    TraceEnd,  // the walk is done with a file's or a cache chain's blocks
    Read,      // bitmap and bitmap extension blocks as the load reads them
    Write,     // bitmap blocks as the store writes them
    Alloc,     // bitmap and bitmap extension blocks as the formatter allocates them
};
struct BlockNote {
    BlockKind kind;
    BlockAction action;
    std::uint32_t block;
    std::uint32_t index;  // bitmap blocks: the place in the root (in_root) or in its extension block
    bool in_root;
};

// Lines that are neither findings, entries nor blocks.
enum class Note : std::uint8_t {
    RootFound,     // a: the root block
    Detected,      // a: the variant bits, b: the root's bitmap flag
    CompareBegin,  // the comparison starts
    CompareEnd,    // the comparison ends
    WritingRoot,   // a: the root block, about to be written with its final contents
    Geometry,      // the formatter's: a blocks, b block size, c reserved, d root
};
struct NoteData {
    std::uint32_t a = 0, b = 0, c = 0, d = 0;
};

// What a repair did (or, under -p and -n, would do) about one finding.
enum class RepairClass : std::uint8_t {
    ReportOnly,  // no repair: the finding is only reported
    Safe,        // loses nothing and needs no judgement: -p and -a apply it
    NeedsYes,    // truncates, copies or drops blocks: left for -y
};
enum class RepairState : std::uint8_t {
    Done,      // applied
    Left,      // left for -y (a run that applies only the safe repairs)
    WouldDo,   // a run that writes nothing: what -p (Safe) or -y would do
};
struct RepairNote {
    Problem problem;
    std::uint32_t block;  // the block the repair is about
    RepairClass kind;
    RepairState state;
    const char *what;          // what the repair does, one line without its end
    const std::string *path;   // the entry's path, or null
};

// The last trace " [n]" of the text reporter, kept as the two words that
// hold its 16 bytes of text: a file's data blocks mostly follow each other,
// so the next text is usually the last one with its last digit one higher.
struct LastTrace {
    std::uint64_t low = 0, high = 0;
    std::size_t length = 0;
    std::uint32_t block = 0;
};

// The one slot that several reporters fill.  The flags say what a reporter
// wants: calls it does not want are never made, so that a plain check pays
// nothing for the listing and the traces.
struct Reporter {
    bool wants_entries = false;
    bool wants_blocks = false;    // Trace and TraceEnd notes of the walk
    bool wants_progress = false;
    virtual void problem(const Finding &finding) = 0;
    virtual void entry(const Entry &entry) = 0;
    virtual void blocks(const BlockNote &note) = 0;
    // The traces of a run of a file's data blocks: the `count` big-endian
    // pointers at `table`, from the last one back to the first (file order).
    // By default one Trace note each.
    virtual void data_blocks(const std::uint8_t *table, std::uint32_t count);
    virtual void progress(std::uint64_t done, std::uint64_t total) = 0;
    virtual void note(Note note, const NoteData &data) = 0;
    // a repair of the tree; by default nothing
    virtual void repair(const RepairNote &) {}
    // before anything else reaches standard output
    virtual void flush() {}

protected:
    ~Reporter() = default;
};

// Prints what the tools have always printed: findings by their style,
// entries at verbosity 1, block notes and the bitmap's lines at 2.
struct TextReporter final : Reporter {
    explicit TextReporter(int verbosity);
    ~TextReporter();
    void problem(const Finding &finding) override;
    void entry(const Entry &entry) override;
    void blocks(const BlockNote &note) override;
    void data_blocks(const std::uint8_t *table, std::uint32_t count) override;
    void progress(std::uint64_t, std::uint64_t) override {}
    void note(Note note, const NoteData &data) override;
    void repair(const RepairNote &note) override;
    void flush() override;

    int verbosity;
    // traces waiting to be written, and the text of the last one
    char pending[16384];
    std::size_t pending_length = 0;
    LastTrace last;
};

// Prints nothing.
struct NullReporter final : Reporter {
    void problem(const Finding &) override {}
    void entry(const Entry &) override {}
    void blocks(const BlockNote &) override {}
    void progress(std::uint64_t, std::uint64_t) override {}
    void note(Note, const NoteData &) override {}
};

// The tallies of one run.
struct Tallies {
    std::uint64_t by_effect[effect_count];
    std::uint64_t by_problem[problem_count];
    std::uint64_t of(Effect effect) const { return by_effect[std::size_t(effect)]; }
    std::uint64_t of(Problem problem) const { return by_problem[std::size_t(problem)]; }
};

// The reporter that findings go to, and the tallies, for the run under way.
// A run installs its reporter (and clears the tallies) with begin_report;
// without one, findings go to a text reporter at the session's verbosity.
void begin_report(Reporter &reporter);
// the run is over: its reporter is no longer used (its tallies stay)
void end_report();
// back to no reporter of its own (the text at the session's verbosity), with
// the tallies cleared: for tests that call the library's steps one by one
void reset_report();
extern Reporter *current_reporter;
Reporter &fallback_reporter();
inline Reporter &reporter() { return current_reporter ? *current_reporter : fallback_reporter(); }
const Tallies &tallies();
// Takes `reporter` back for the rest of a run, with `kept` as its tallies:
// after a pass whose findings went elsewhere.
void resume_report(Reporter &reporter, const Tallies &kept);
// where the walk stands, for the findings raised meanwhile (null: nowhere)
void set_report_path(const PathSource *where);

// "repaired", "left for -y", "-p would repair" or "-y would repair"
const char *repair_state_text(const RepairNote &note);

// Raises one finding: counts it and hands it to the reporter.
void raise(Problem problem, std::uint32_t block = 0, std::uint32_t value = 0, std::uint32_t other = 0);
// a run of `count` blocks from `block` on, of one kind of bitmap difference
void raise_run(Problem problem, std::uint32_t block, std::uint32_t count);

// Lines printed with log_error or log_verbose since the program started:
// every line of the check goes through the catalogue and the reporter, and
// a test holds this at 0 for it.
extern std::uint64_t stray_lines;
