// The options that both programs read alike from their command line.
#include "volume.h"

#include <argp.h>
#include <cstring>
#include <list>
#include <string>

const argp_option verbose_option = {"verbose", 'v', nullptr, 0, "Be verbose", 0};
const argp_option reserve_option = {"reserve", 'r', "blocks", 0, "Set reserved blocks", 0};
const argp_option undo_option = {"undo", 'z', "file", 0, "Save the blocks to be written in a new file", 0};
const argp_option partitions_option = {"partitions", partitions_key, nullptr, 0, "List the partition table and exit",
                                       0};

int parse_number_option(int key, const char *text, std::int64_t &value)
{
    if (key != 'b' && key != 's' && key != 'r')
        return 0;
    if (parse_number(text, value) != 0)
        return 1;
    if (key == 's' && shift_of_block_size(value) == 0) {
        log_error("invalid block size %d\n", int(value));
        return 1;
    }
    return 0;
}

int take_shared_option(int key, const char *arg, std::int64_t &value, RunOptions &options)
{
    if (parse_number_option(key, arg, value) != 0)
        return 1;
    switch (key) {
    case 'v': options.verbosity += 1; return 0;
    case 'r':
        options.reserve_given = true;
        options.reserved_blocks = std::uint32_t(value);
        return 0;
    case 'z': options.undo_path = arg; return 0;
    case 'p': options.partition = arg; return 0;
    case partitions_key: options.list_partitions = true; return 0;
    default: return 2;
    }
}

namespace {

const argp_option *find_short(const argp_option *options, char key)
{
    for (; options->name || options->key; ++options)
        if (options->key == key)
            return options;
    return nullptr;
}

// true when every long option that `name` (of `length` bytes) abbreviates
// takes an argument, which then is the next word when no '=' gives it
bool long_takes_argument(const argp_option *options, const char *name, std::size_t length)
{
    bool any = false;
    for (; options->name || options->key; ++options) {
        if (!options->name || std::strncmp(options->name, name, length) != 0)
            continue;
        if (!options->arg)
            return false;
        any = true;
    }
    return any;
}

}  // namespace

void prefer_long_option(int argc, char **argv, const argp_option *options, const char *prefix, const char *name)
{
    std::size_t prefix_length = std::strlen(prefix);
    for (int i = 1; i < argc; ++i) {
        const char *word = argv[i];
        if (std::strcmp(word, "--") == 0)
            return;
        if (word[0] != '-' || word[1] == '\0')
            continue;  // an operand
        if (word[1] != '-') {
            // a group of short options: one that takes an argument ends it,
            // and without text after its letter takes the next word
            for (const char *c = word + 1; *c; ++c) {
                const argp_option *option = find_short(options, *c);
                if (option && option->arg) {
                    if (c[1] == '\0')
                        ++i;
                    break;
                }
            }
            continue;
        }
        const char *equals = std::strchr(word + 2, '=');
        std::size_t length = equals ? std::size_t(equals - word - 2) : std::strlen(word + 2);
        if (length == prefix_length && std::strncmp(word + 2, prefix, length) == 0) {
            // kept until the process ends, as argv is; a list never moves them
            static std::list<std::string> rewritten;
            rewritten.push_back(std::string("--") + name + (equals ? equals : ""));
            argv[i] = rewritten.back().data();
            word = argv[i];
            length = std::strlen(name);
        }
        if (!equals && long_takes_argument(options, word + 2, length))
            ++i;
    }
}
