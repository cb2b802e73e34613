// qvx: creates QVX archives and self-extractors, and lists, tests and
// extracts them with the extractor's own code.
#include <CLI/CLI.hpp>

#include <cstring>
#include <string>
#include <vector>

#include "tools/commands.h"

static const char* const VERSION = "qvx 1.0";
static const int EXIT_USAGE = 7;

// CLI11 takes no option named like a negative number, so the compression
// levels -1 .. -9 become --level=N before parsing (only before a "--").
static std::vector<std::string> rewrite_levels(int argc, char** argv)
{
    std::vector<std::string> args;
    bool options_end = false;
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--")
            options_end = true;
        if (!options_end && i > 0 && a.size() == 2 && a[0] == '-' && a[1] >= '1' && a[1] <= '9')
            a = std::string("--level=") + a[1];
        args.push_back(a);
    }
    return args;
}

static void add_sfx_options(CLI::App* cmd, qvx::SfxSettings& s)
{
    cmd->add_option("--title", s.title, "window title of the self-extractor")->type_name("TEXT");
    cmd->add_option("--folder", s.folder, "default destination folder (Windows path)")->type_name("FOLDER");
    cmd->add_option("--command", s.command, "program to run after extraction, relative to the destination")
        ->type_name("COMMAND");
    cmd->add_flag("--overwrite", s.overwrite, "preset: overwrite existing files without asking");
}

static void note_set(CLI::App* cmd, qvx::SfxSettings& s)
{
    s.title_set = cmd->count("--title") > 0;
    s.folder_set = cmd->count("--folder") > 0;
    s.command_set = cmd->count("--command") > 0;
}

int main(int argc, char** argv)
{
    CLI::App app{"qvx - QVX archives and Windows self-extractors"};
    app.set_version_flag("--version", VERSION);
    app.require_subcommand(1);
    app.footer("Exit codes: 0 all well, 1 some members failed, 2 archive damaged or unreadable\n"
               "(or the archive could not be written), 7 bad command line.");

    qvx::AddCommand add;
    std::string stream_size;
    CLI::App* a = app.add_subcommand("a", "create an archive; OUT ending in .exe makes a self-extractor");
    a->add_option("OUT", add.output, "archive to create (.qvx) or self-extractor (.exe)")->required();
    a->add_option("INPUT", add.inputs, "files and folders to pack (folders recursively)")->required();
    a->add_option("--level", add.level, "compression level; also -1 (fast) .. -9 (strongest)")
        ->check(CLI::Range(1, 9))
        ->default_val(6);
    a->add_option("--stream-size", stream_size, "start a new data stream after about SIZE bytes (e.g. 4M)")
        ->type_name("SIZE");
    a->add_flag("--sfx", add.sfx, "make a self-extractor whatever the name of OUT");
    a->add_option("--stub", add.settings.stub, "stub executable to use instead of the built-in PE32 stub")
        ->type_name("FILE");
    a->add_flag("-f,--force", add.force, "replace OUT when it exists");
    add_sfx_options(a, add.settings);
    a->footer("Levels: -1 .. -9 (default -6).");

    qvx::SfxCommand sfx;
    CLI::App* s = app.add_subcommand("sfx", "build a self-extractor from a stub and a bare archive");
    s->add_option("STUB", sfx.stub, "stub executable")->required()->check(CLI::ExistingFile);
    s->add_option("ARCHIVE", sfx.archive, "bare QVX archive")->required()->check(CLI::ExistingFile);
    s->add_option("OUT", sfx.output, "self-extractor to write")->required();
    s->add_flag("-f,--force", sfx.force, "replace OUT when it exists");
    add_sfx_options(s, sfx.settings);

    qvx::ExtractCommand extract;
    CLI::App* x = app.add_subcommand("x", "extract an archive or self-extractor");
    x->add_option("ARCHIVE", extract.archive, "archive (.qvx) or self-extractor (.exe)")->required();
    x->add_option("-o,--output", extract.dest, "destination folder (default: the current folder)")->type_name("DIR");
    x->add_flag("-y,--yes", extract.yes, "overwrite existing files without asking");

    std::string test_archive;
    CLI::App* t = app.add_subcommand("t", "decode every member and check its CRC-32, writing nothing");
    t->add_option("ARCHIVE", test_archive, "archive or self-extractor")->required();

    std::string list_archive;
    CLI::App* l = app.add_subcommand("l", "list the members of an archive or self-extractor");
    l->add_option("ARCHIVE", list_archive, "archive or self-extractor")->required();

    std::vector<std::string> args = rewrite_levels(argc, argv);
    std::vector<char*> argp;
    for (std::string& arg : args)
        argp.push_back(&arg[0]);
    try {
        app.parse((int)argp.size(), argp.data());
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        // As 7-Zip does: 7 for a command line it cannot use.
        return code == 0 ? 0 : EXIT_USAGE;
    }

    if (*a) {
        note_set(a, add.settings);
        if (!stream_size.empty() && (!qvx::parse_size(stream_size, add.stream_size) || add.stream_size == 0)) {
            fprintf(stderr, "qvx: --stream-size: \"%s\" is not a size (e.g. 4M, 512K, 1000000)\n",
                    stream_size.c_str());
            return EXIT_USAGE;
        }
        return qvx::run_add(add);
    }
    if (*s) {
        note_set(s, sfx.settings);
        return qvx::run_sfx(sfx);
    }
    if (*x)
        return qvx::run_extract(extract);
    if (*t)
        return qvx::run_test(test_archive);
    if (*l)
        return qvx::run_list(list_archive);
    return 2;
}
