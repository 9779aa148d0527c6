// The checker's reports beyond its text and its fsck(8) front end.
//
// Called as fsck.affs, the checker takes the command line that fsck(8)
// passes to a filesystem's checker (-n, -p or -a, -y, -f, -v, -C FD), always
// ends with the summary, names entries by their paths, and ends with
// fsck(8)'s statuses.  vistrel by its own name keeps its text and statuses
// unless the options of these reports ask otherwise.
#include "front.h"
#include "outcome.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

FrontOptions front_options;

namespace {

constexpr int usage_status = 16;
constexpr int exit_codes_key = 0x200, summary_key = 0x201, json_key = 0x202, paths_key = 0x203,
              partition_key = 0x204;

// ---------------------------------------------------------------------------
// vistrel's options for the reports

const argp_option report_options[] = {
    {nullptr, 0, nullptr, 0, "Reports:", 1},
    {"exit-codes", exit_codes_key, nullptr, 0, "End with fsck(8)'s exit statuses", 1},
    {"summary", summary_key, nullptr, 0, "End with a summary of the volume and the problems", 1},
    {"json", json_key, nullptr, 0, "Write one JSON document instead of the text", 1},
    {"paths", paths_key, nullptr, 0, "Name the path of the entry in each message about one", 1},
    {"progress", 'C', "FD", 0, "Write progress lines to descriptor FD", 1},
    {"quiet", 'q', nullptr, 0, "No progress bar on the terminal", 1},
    {},
};

// a descriptor number for -C, or -1
int descriptor(const char *text)
{
    char *end = nullptr;
    long fd = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || fd < 0 || fd > 65535)
        return -1;
    return int(fd);
}

error_t parse_report_option(int key, char *arg, argp_state *state)
{
    FrontOptions &front = front_options;
    switch (key) {
    case exit_codes_key: front.exit_codes = true; break;
    case summary_key: front.summary = true; break;
    case json_key: front.json = true; break;
    case paths_key: front.paths = true; break;
    case 'q': front.quiet = true; break;
    case 'C':
        front.progress_fd = descriptor(arg);
        if (front.progress_fd < 0)
            argp_error(state, "-C takes a descriptor number, not '%s'", arg);
        break;
    default: return ARGP_ERR_UNKNOWN;
    }
    return 0;
}

const argp report_argp = {report_options, parse_report_option, nullptr, nullptr, nullptr, nullptr, nullptr};

// ---------------------------------------------------------------------------
// fsck.affs's command line

const argp_option fsck_options[] = {
    {nullptr, 'n', nullptr, 0, "Check only, never write", 0},
    {nullptr, 'p', nullptr, 0, "Repair without asking what is safe to repair", 0},
    {nullptr, 'a', nullptr, 0, "The same as -p", 0},
    {nullptr, 'y', nullptr, 0, "Repair everything that can be repaired", 0},
    {nullptr, 'f', nullptr, 0, "Accepted: the check is always full", 0},
    verbose_option,
    {nullptr, 'C', "FD", 0, "Write progress lines to descriptor FD", 0},
    {"json", json_key, nullptr, 0, "Write one JSON document instead of the text", 0},
    {"quiet", 'q', nullptr, 0, "No progress bar on the terminal", 0},
    {"root", 'b', "block", 0, "Specify root block", 0},
    {"size", 's', "size", 0, "Force blocksize", 0},
    reserve_option,
    {"partition", partition_key, "PART", 0,
     "Check partition PART (its number or drive name) of the partition table", 0},
    {},
};

struct FsckCommand {
    RunOptions run;
    char mode = 0;  // 'n', 'p' or 'y'; 0 for none
};

// a usage error: the message, then fsck's status for it
[[noreturn]] void usage_error(const char *message)
{
    std::fflush(stdout);
    std::fprintf(stderr, "fsck.affs: %s\n", message);
    std::exit(usage_status);
}

error_t parse_fsck_option(int key, char *arg, argp_state *state)
{
    auto *command = static_cast<FsckCommand *>(state->input);
    RunOptions &run = command->run;
    char mode = 0;
    switch (key) {
    case 'n': mode = 'n'; break;
    case 'p':
    case 'a': mode = 'p'; break;
    case 'y': mode = 'y'; break;
    case 'f': return 0;
    case 'C':
    case json_key:
    case 'q': return parse_report_option(key, arg, state);
    case partition_key: run.partition = arg; return 0;
    case ARGP_KEY_ARG:
        if (state->arg_num != 0)
            argp_state_help(state, stderr, ARGP_HELP_STD_USAGE);
        run.device_path = arg;
        return 0;
    case ARGP_KEY_NO_ARGS: argp_state_help(state, stderr, ARGP_HELP_STD_USAGE); return 0;
    default: {
        std::int64_t value = 0;
        switch (take_shared_option(key, arg, value, run)) {
        case 0:
            if (key == 'r' && run.reserved_blocks == 0)
                usage_error("at least 1 block must be reserved");
            return 0;
        case 1: std::fflush(stdout); std::exit(usage_status);
        default: break;
        }
        if (key == 'b')
            run.root_block = std::uint32_t(value);
        else if (key == 's')
            run.block_size = std::uint32_t(value);
        else
            return ARGP_ERR_UNKNOWN;
        return 0;
    }
    }
    if (command->mode != 0 && command->mode != mode)
        usage_error("only one of the options -p/-a, -n or -y may be given");
    command->mode = mode;
    return 0;
}

const argp fsck_argp = {fsck_options, parse_fsck_option, "device",
                        "Checks an Amiga OFS/FFS volume for fsck(8); see vistrel(8).", nullptr, nullptr, nullptr};

// ---------------------------------------------------------------------------
// The run

RunRecord *asking_record;
RunResult *asking_result;

bool something_to_repair(const RunRecord &record)
{
    return tallies().of(Effect::BitmapDifference) != 0 || tallies().of(Effect::BitmapError) != 0 ||
           tallies().of(Effect::HidesBlocks) != 0 || tallies().of(Effect::Inconsistency) != 0 ||
           (record.detected && !record.clean);
}

// fsck's -p and -y: write only when there is something to repair
bool confirm_when_needed()
{
    if (something_to_repair(*asking_record))
        return true;
    asking_result->unneeded = true;
    return false;
}

// fsck.affs on a terminal without a mode: the problems, then one question
bool confirm_on_terminal()
{
    if (!confirm_when_needed())
        return false;
    std::fflush(stdout);
    std::string list = problem_list(*asking_record);
    bool tree = tallies().of(Effect::HidesBlocks) != 0 || tallies().of(Effect::Inconsistency) != 0;
    std::fprintf(stderr, "Problems to repair:\n%s%s? [y/N] ", list.c_str(),
                 tree ? "Repair the tree, rebuild the bitmap and mark it valid" : "Rebuild the bitmap and mark it valid");
    std::fflush(stderr);
    char answer[64] = "";
    if (!std::fgets(answer, sizeof answer, stdin) || (answer[0] != 'y' && answer[0] != 'Y')) {
        asking_result->declined = true;
        return false;
    }
    return true;
}

bool is_terminal(int fd) { return isatty(fd) == 1; }

bool exit_codes_set;
void usage_as_sixteen()
{
    // std::exit(1) of an option the parser refused, while parsing
    if (exit_codes_set) {
        std::fflush(stdout);
        _exit(usage_status);
    }
}

}  // namespace

const argp_child front_children[] = {{&report_argp, 0, nullptr, 1}, {}};

bool called_as_fsck(const char *argv0)
{
    const char *base = std::strrchr(argv0, '/');
    return std::strcmp(base ? base + 1 : argv0, "fsck.affs") == 0;
}

void prepare_front(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            break;
        if (std::strcmp(argv[i], "--exit-codes") == 0) {
            argp_err_exit_status = usage_status;
            exit_codes_set = true;
            std::atexit(usage_as_sixteen);
        }
    }
}

int checked_run(RunOptions &options, const FrontOptions &front)
{
    exit_codes_set = false;  // the command line is read
    bool plain = !front.fsck && !front.exit_codes && !front.summary && !front.json && !front.paths &&
                 front.progress_fd < 0 && (front.quiet || !is_terminal(STDERR_FILENO));
    TextReporter text(front.json ? 0 : options.verbosity);
    if (plain)
        return run_check(options, text);

    bool fsck_codes = front.fsck || front.exit_codes;
    if (fsck_codes)
        install_cancel_handlers();
    Progress progress;
    progress.fd = front.progress_fd;
    progress.bar = !front.quiet && !front.json && is_terminal(STDERR_FILENO);
    progress.device = options.device_path ? options.device_path : "";
    bool counts = front.fsck || front.summary || front.json;
    RunRecord record(front.json ? nullptr : &text, front.paths || front.fsck, counts, &progress);
    RunResult result;
    result.write_asked = (options.options & WriteBitmap) != 0;
    result.read_only = (options.options & ReadOnly) != 0;
    asking_record = &record;
    asking_result = &result;
    if (front.fsck && result.write_asked)
        confirm_write = front.ask ? confirm_on_terminal : confirm_when_needed;

    // JSON takes standard output: whatever is printed outside the report
    // (a device that cannot be opened) goes to standard error meanwhile
    int json_out = -1;
    if (front.json) {
        std::fflush(stdout);
        json_out = dup(STDOUT_FILENO);
        dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    progress.begin();
    result.status = run_check(options, record);
    result.cancelled = run_cancelled != 0;
    progress.end(result.status == 0 && !result.cancelled);
    confirm_write = nullptr;

    bool check_mode = !options.list_partitions && !options.restore_path && !(options.options & ClearBitmapFlag);
    int status = fsck_codes ? fsck_status(record, result) : result.status;
    if (fsck_codes && !check_mode)
        status = result.cancelled ? cancelled_status : result.status == 0 ? 0 : 8;
    if (front.json) {
        std::fflush(stdout);
        dup2(json_out, STDOUT_FILENO);
        close(json_out);
        std::string document = json_report(record, result, status);
        fwrite_unlocked(document.data(), 1, document.size(), stdout);
    } else if ((front.fsck || front.summary) && check_mode) {
        print_summary(record, result);
    }
    std::fflush(stdout);
    return status;
}

int fsck_main(int argc, char **argv)
{
    argp_err_exit_status = usage_status;
    FsckCommand command;
    if (argp_parse(&fsck_argp, argc, argv, 0, nullptr, &command) != 0)
        return usage_status;
    FrontOptions &front = front_options;
    front.fsck = true;
    char mode = command.mode;
    if (mode == 0) {
        // no mode: a script gets a check only; a person is asked
        if (is_terminal(STDIN_FILENO))
            front.ask = true;
        else
            mode = 'n';
    }
    // -n tells what -p and -y would repair; -p applies only the safe repairs
    command.run.options |= RepairTree;
    if (mode == 'n')
        command.run.options |= ReadOnly;
    else
        command.run.options |= WriteBitmap;
    if (mode == 'p')
        command.run.options |= RepairSafeOnly;
    return checked_run(command.run, front);
}

namespace {

const char *verdict_name(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Complete: return "complete";
    case Verdict::Partial: return "partial";
    case Verdict::Lost: return "lost";
    }
    return "";
}

std::string extract_json(const ExtractResult &result)
{
    auto number = [](std::string &out, const char *name, std::uint64_t value) {
        if (out.back() != '{')
            out += ',';
        out += '"', out += name, out += "\":", out += std::to_string(value);
    };
    auto text = [](std::string &out, const char *name, const std::string &value) {
        if (out.back() != '{')
            out += ',';
        out += '"', out += name, out += "\":";
        // the paths and comments are UTF-8 already: each byte as it is, but
        // what JSON escapes
        out += '"';
        for (unsigned char c : value) {
            if (c == '"' || c == '\\')
                out += '\\', out += char(c);
            else if (c < 0x20) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\u%04x", c);
                out += hex;
            } else
                out += char(c);
        }
        out += '"';
    };
    std::string out = "{";
    number(out, "complete", result.complete);
    number(out, "partial", result.partial);
    number(out, "lost", result.lost);
    number(out, "directories", result.directories);
    number(out, "links", result.links);
    number(out, "escaped_names", result.escaped);
    number(out, "salvaged", result.salvaged);
    number(out, "deleted", result.deleted);
    number(out, "bytes_written", result.bytes);
    out += ",\"items\":[";
    for (const ExtractedItem &item : result.items) {
        if (out.back() != '[')
            out += ',';
        out += '{';
        text(out, "path", item.path);
        text(out, "kind", item.kind == 'f'   ? "file"
                          : item.kind == 'd' ? "directory"
                          : item.kind == 's' ? "soft-link"
                                             : "hard-link");
        number(out, "block", item.block);
        text(out, "origin", item.origin ? item.origin : "tree");
        if (item.kind == 'f') {
            number(out, "size", item.size);
            text(out, "verdict", verdict_name(item.verdict));
            text(out, "missing", item.missing);
        }
        if (!item.note.empty())
            text(out, "note", item.note);
        if (!item.comment.empty())
            text(out, "comment", item.comment);
        out += '}';
    }
    out += "]}";
    return out;
}

}  // namespace

int extracted_run(RunOptions &options, const FrontOptions &front, ExtractOptions &extract)
{
    exit_codes_set = false;
    TextReporter text(front.json ? 0 : options.verbosity);
    Progress progress;
    progress.fd = front.progress_fd;
    progress.bar = !front.quiet && !front.json && is_terminal(STDERR_FILENO);
    progress.device = options.device_path ? options.device_path : "";
    RunRecord record(front.json ? nullptr : &text, front.paths, front.summary || front.json, &progress);
    RunResult result;
    result.read_only = true;
    extract.text = !front.json;
    extract.keep_items = front.json;
    int json_out = -1;
    if (front.json) {
        std::fflush(stdout);
        json_out = dup(STDOUT_FILENO);
        dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    ExtractResult extracted;
    progress.begin();
    int status = run_extract(options, extract, record, extracted);
    progress.end(status != 8);
    result.status = status == 8 ? 1 : 0;
    if (front.json) {
        std::fflush(stdout);
        dup2(json_out, STDOUT_FILENO);
        close(json_out);
        std::string document = json_report(record, result, status);
        // the copy-out's own member, last
        std::size_t end = document.rfind('}');
        document.insert(end, ",\"extract\":" + extract_json(extracted));
        fwrite_unlocked(document.data(), 1, document.size(), stdout);
    } else {
        if (front.summary && record.detected)
            print_summary(record, result);
        if (!extracted.refused && !extracted.device_unreadable)
            std::printf("extract: %llu files complete, %llu partial, %llu lost; %llu directories, %llu links; %llu "
                        "bytes written\n",
                        (unsigned long long)extracted.complete, (unsigned long long)extracted.partial,
                        (unsigned long long)extracted.lost, (unsigned long long)extracted.directories,
                        (unsigned long long)extracted.links, (unsigned long long)extracted.bytes);
    }
    std::fflush(stdout);
    return status;
}
