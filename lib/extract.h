// The copy-out: the tree of a volume written into a directory of the host,
// read-only on the volume, with a verdict for every file.
#pragma once

#include "volume.h"

#include <cstdint>
#include <string>
#include <vector>

enum class Salvage : std::uint8_t {
    None,
    Lost,     // --salvage: headers in use that the walk did not reach
    Deleted,  // --salvage=deleted: also those that the bitmap marks free
};

struct ExtractOptions {
    const char *directory = nullptr;  // must not exist, or be empty
    Salvage salvage = Salvage::None;
    bool text = true;        // lines for what is not plain (and, at -v, comments) on standard output
    bool keep_items = false; // every item kept in ExtractResult::items (the JSON report)
};

enum class Verdict : std::uint8_t { Complete, Partial, Lost };

// One item written (or not) into the directory.
struct ExtractedItem {
    std::string path;  // from the directory, as written (UTF-8, escaped)
    char kind;         // 'f' file, 'd' directory, 's' soft link, 'h' hard link
    std::uint32_t block;
    std::uint64_t size;  // a file's byte size on the volume
    Verdict verdict;
    std::string missing;  // a file's missing byte ranges, "0-511,1024-1535"
    std::string note;     // an escaped name, a rename, where a salvaged entry went
    std::string comment;  // UTF-8
    const char *origin;   // "tree", "lost" or "deleted"
};

struct ExtractResult {
    std::uint64_t complete = 0, partial = 0, lost = 0;
    std::uint64_t directories = 0, links = 0, escaped = 0, bytes = 0;
    std::uint64_t salvaged = 0, deleted = 0;
    bool device_unreadable = false;  // no volume could be read at all
    bool refused = false;            // the directory was refused or could not be made
    std::vector<ExtractedItem> items;
};

// The copy-out's run: the device opened read-only (or the descriptor given),
// the partition -p names, the check's walk (its findings go to `reporter`),
// then the tree written into options.directory.  Its status: 0 when every
// file reached came out complete, 1 otherwise, 8 when the device could not
// be read or the directory not made.
int run_extract(const RunOptions &options, const ExtractOptions &extract, Reporter &reporter, ExtractResult &result);

// The name of an entry as it is written on the host: ISO-8859-1 converted to
// UTF-8.  A name that is empty, "." or "..", or holds '/', NUL or a control
// character (0x01-0x1F, 0x7F, 0x80-0x9F) is escaped: each such byte and each
// '%' becomes %XX (its hex value), "." is %2E, ".." %2E%2E and the empty
// name %00; `escaped` tells.
std::string host_name(const std::uint8_t *bytes, std::size_t length, bool &escaped);

// The target of a soft link as the host's symlink takes it.  `target` is the
// Amiga text, `depth` the directories between the extraction's root and the
// link, `volume_name` this volume's name.  "VOL:path" with this volume's
// name (compared without regard to case) and ":path" lead from the root of
// the extraction; any other "DEV:path" is kept as a name.  Each leading '/'
// and each empty part between two '/' is the parent ("..").  Parts are
// escaped as names are.  A target never climbs above the extraction's root:
// parents beyond it are dropped and `clamped` tells.
std::string link_target(const std::string &target, std::uint32_t depth, const std::string &volume_name,
                        bool &clamped);
