// The checker's reports beyond its text (summary, JSON, paths, progress,
// fsck(8)'s exit status) and its fsck(8) front end, called fsck.affs.
#pragma once

#include "extract.h"
#include "volume.h"

#include <argp.h>

struct FrontOptions {
    bool fsck = false;         // called as fsck.affs
    bool exit_codes = false;   // fsck(8)'s statuses
    bool summary = false;
    bool json = false;
    bool paths = false;
    bool quiet = false;        // no bar on the terminal
    bool ask = false;          // ask before the write, on the terminal
    int progress_fd = -1;      // -C
};
extern FrontOptions front_options;

// vistrel's options of these reports, a child of its option table
extern const argp_child front_children[];

// true when the program was called by the name fsck.affs
bool called_as_fsck(const char *argv0);
// fsck.affs: its own command line, then the run
int fsck_main(int argc, char **argv);
// Before vistrel reads its command line: with --exit-codes among the
// arguments, a usage error or a refused option value ends with 16.
void prepare_front(int argc, char **argv);
// The check with the reports that `front` asks for; the program's status.
int checked_run(RunOptions &options, const FrontOptions &front);
// The copy-out with the reports that `front` asks for; its status (0, 1, 8).
int extracted_run(RunOptions &options, const FrontOptions &front, ExtractOptions &extract);
