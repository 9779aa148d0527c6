// The search for lost headers: after the walk, the file and directory
// headers on the volume that the walk did not reach.  The copy-out extracts
// them; a repair of the tree can relink the same list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct LostHeader {
    std::uint32_t block;
    std::uint32_t parent;          // the parent its header names
    std::int32_t secondary_type;   // File or Dir
    std::string name;              // its name's bytes (ISO-8859-1), at most 30
    bool in_use;                   // the volume's bitmap marks its block in use
};

// Every block of the volume that the walk did not visit (neither a header,
// an extension block nor a dircache block it took) and that is neither the
// root block nor a block of the bitmap chain, which holds a header: a valid
// checksum, primary type 2, secondary type file or directory, and its own
// block as its key.  In block order.  Blocks that cannot be read are passed
// over (their read is reported as any read is).  Needs the walk's record and
// the volume's bitmap as load_bitmap read it.  With `in_use_only`, only
// the blocks that the volume's bitmap marks in use and the walk's rebuilt
// map does not are read: the headers a repair may relink lie among them.
std::vector<LostHeader> find_lost_headers(bool in_use_only = false);

// true when the volume's bitmap, as read, marks `block` in use (a block
// outside the map counts as in use)
bool bitmap_marks_used(std::uint32_t block);
