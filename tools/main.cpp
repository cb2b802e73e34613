// qvx: creates QVX archives and self-extractors, and lists, tests and
// extracts them with the extractor's own code.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>
#include <set>
#include <string>
#include <vector>
#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/resource.h>
#endif

#include "dravex_version.h"
#include "tools/commands.h"
#include "tools/tool_util.h"

static const char* const VERSION = "qvx " DRAVEX_VERSION_TEXT;

// Options that take a value as the next argument: a "-5" there is that
// value, not a level.
static bool takes_value(const std::string& a)
{
    static const std::set<std::string> names = {"--level", "--stream-size", "--stub", "--title", "--folder",
                                                "--command", "-o", "--output", "-x", "--exclude", "-i",
                                                "--include", "-C", "--symlinks", "--product",
                                                "--product-version", "--company", "--copyright",
                                                "--description", "--icon", "--elevate", "--banner", "--intro",
                                                "--help-text", "--support", "--texts"};
    return names.count(a) != 0;
}

// CLI11 takes no option named like a negative number, so the compression
// levels -0 .. -9 become --level=N before parsing (only before a "--", and
// not where the argument is the value of the option before it).
static std::vector<std::string> rewrite_levels(int argc, char** argv)
{
    std::vector<std::string> args;
    bool options_end = false;
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--")
            options_end = true;
        if (!options_end && i > 1 && a.size() == 2 && a[0] == '-' && a[1] >= '0' && a[1] <= '9' &&
            !takes_value(argv[i - 1]))
            a = std::string("--level=") + a[1];
        args.push_back(a);
    }
    return args;
}

static void add_sfx_options(CLI::App* cmd, qvx::SfxSettings& s)
{
    cmd->add_option("--title", s.title, "window title of the self-extractor")->type_name("TEXT");
    cmd->add_option("--folder", s.folder, "default destination folder (Windows path)")->type_name("FOLDER");
    cmd->add_option("--command", s.command,
                    "program (with arguments) to run after extraction, a path inside the destination folder")
        ->type_name("COMMAND");
    cmd->add_flag("--overwrite", s.overwrite, "preset: overwrite existing files without asking");
    // What Windows shows in the file's Properties and Explorer: the
    // publisher's version information and icon instead of Dravex's.
    cmd->add_option("--product", s.product, "product name in the version information")->type_name("TEXT");
    cmd->add_option("--product-version", s.product_version, "product and file version, e.g. 2.1.0")
        ->type_name("VERSION");
    cmd->add_option("--company", s.company, "company name in the version information")->type_name("TEXT");
    cmd->add_option("--copyright", s.copyright, "copyright notice in the version information")->type_name("TEXT");
    cmd->add_option("--description", s.description, "file description (default: the product name)")
        ->type_name("TEXT");
    cmd->add_option("--icon", s.icon, "the publisher's icon: an .ico file, with every size it holds")
        ->type_name("FILE.ico")
        ->check(CLI::ExistingFile);
    cmd->add_option("--elevate", s.elevate,
                    "admin: Windows asks for an administrator at start (requireAdministrator); highest: "
                    "for the user's highest rights (highestAvailable). Default: the user's own rights")
        ->type_name("admin|highest")
        ->check(CLI::IsMember({"admin", "highest"}));
    // The publisher's words on the dialog, taken literally.
    cmd->add_option("--banner", s.banner, "the line under the progress bar (default: product and company)")
        ->type_name("TEXT");
    cmd->add_option("--intro", s.intro, "the text above the folder box")->type_name("TEXT");
    cmd->add_option("--help-text", s.help_text, "the Help message")->type_name("TEXT");
    cmd->add_option("--support", s.support,
                    "support contact shown when the self-extractor finds itself changed")
        ->type_name("TEXT");
    cmd->add_option("--texts", s.text_files, "the texts in another language (language = de-DE, banner = ...)")
        ->type_name("FILE")
        ->check(CLI::ExistingFile);
    cmd->add_option("--command-dir", s.command_dir,
                    "dest: start the command in the destination folder (default: the folder the "
                    "self-extractor was started from)")
        ->type_name("dest")
        ->check(CLI::IsMember({"dest"}));
    cmd->add_flag("--no-switches", s.no_switches,
                  "the self-extractor ignores its command line (no /S, /D=, /Y, /N, /W, /?)");
}

static void add_verbosity(CLI::App* cmd, qvx::Verbosity& v, const char* verbose_help)
{
    cmd->add_flag_callback("-q,--quiet", [&v] { v = qvx::Verbosity::QUIET; }, "report errors only");
    cmd->add_flag_callback("-v,--verbose", [&v] { v = qvx::Verbosity::VERBOSE; }, verbose_help);
}

static void note_set(CLI::App* cmd, qvx::SfxSettings& s)
{
    s.title_set = cmd->count("--title") > 0;
    s.folder_set = cmd->count("--folder") > 0;
    s.command_set = cmd->count("--command") > 0;
}

static int run(int argc, char** argv)
{
    CLI::App app{"qvx - QVX archives and Windows self-extractors"};
    app.set_version_flag("--version", VERSION);
    // Never "/x" as an option (CLI11's default on Windows): that is a path.
    app.allow_windows_style_options(false);
    app.require_subcommand(1);
    // Parse errors as one line that names the command and where to look.
    app.failure_message([](const CLI::App* top, const CLI::Error& e) {
        std::string command = "qvx";
        for (const CLI::App* sub : top->get_subcommands())
            command += " " + sub->get_name();
        std::string what = e.what();
        const std::string unexpected = "The following argument was not expected: ";
        const std::string unexpected_many = "The following arguments were not expected: ";
        if (what.find("A subcommand is required") != std::string::npos)
            what = "no command given; the commands are a, x, l, t and sfx";
        else if (what.compare(0, unexpected.size(), unexpected) == 0)
            what = "\"" + what.substr(unexpected.size()) + "\" is no option or argument of " + command;
        else if (what.compare(0, unexpected_many.size(), unexpected_many) == 0)
            what = "these are no options or arguments of " + command + ": " + what.substr(unexpected_many.size());
        return command + ": " + what + " (" + command + " --help)\n";
    });
    app.footer("Exit codes: 0 all well, 1 some members failed or were skipped, 2 archive damaged or\n"
               "unreadable (or the archive could not be written), 7 bad command line, 8 not enough memory.");

    qvx::AddCommand add;
    std::string stream_size;
    CLI::App* a = app.add_subcommand("a", "create an archive; OUT ending in .exe makes a self-extractor");
    a->add_option("OUT", add.output, "archive to create (.qvx) or self-extractor (.exe)")->required();
    a->add_option("INPUT", add.inputs,
                  "files and folders to pack (folders recursively); - or @FILE: a list of them, one a line, each stored with its path")
        ->required();
    a->add_option("--level", add.level, "compression level; also -0 (store) .. -9 (strongest)")
        ->check(CLI::Range(0, 9))
        ->default_val(6)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    a->add_option("--stream-size", stream_size, "start a new data stream after about SIZE bytes (e.g. 4M)")
        ->type_name("SIZE");
    a->add_option("-x,--exclude", add.excludes, "pass over paths matching PATTERN (glob, ** across folders)")
        ->type_name("PATTERN")
        ->expected(1)
        ->take_all();
    a->add_option("-i,--include", add.includes, "keep only paths matching PATTERN (after -x)")
        ->type_name("PATTERN")
        ->expected(1)
        ->take_all();
    a->add_flag("--null", add.null_separated, "the lists given by - and @FILE are NUL-separated");
    a->add_option("-C", add.base_dir, "take the inputs relative to DIR")->type_name("DIR");
    a->add_option("--symlinks", add.symlinks,
                  "links below the inputs: follow, skip, store-target (default: follow those inside the "
                  "tree, skip the others)")
        ->check(CLI::IsMember({"follow", "skip", "store-target", "inside"}))
        ->type_name("MODE");
    a->add_option("-T,--threads", add.threads, "threads that pack (default: one per core); the archive is the same")
        ->check(CLI::Range(1, 1024))
        ->type_name("N");
    a->add_flag("--sfx", add.sfx, "make a self-extractor whatever the name of OUT");
    a->add_option("--stub", add.settings.stub, "stub executable to use instead of the built-in PE32 stub")
        ->type_name("FILE");
    a->add_flag("-f,--force", add.force, "replace OUT when it exists");
    add_sfx_options(a, add.settings);
    add_verbosity(a, add.verbosity, "name every member stored");
    a->footer("Levels: -0 (store) .. -9 (default -6).");

    qvx::SfxCommand sfx;
    CLI::App* s = app.add_subcommand("sfx", "build a self-extractor from a stub and a bare archive");
    s->add_option("STUB", sfx.stub, "stub executable")->required()->check(CLI::ExistingFile);
    s->add_option("ARCHIVE", sfx.archive, "bare QVX archive")->required()->check(CLI::ExistingFile);
    s->add_option("OUT", sfx.output, "self-extractor to write")->required();
    s->add_flag("-f,--force", sfx.force, "replace OUT when it exists");
    s->add_flag("--wrap-damaged", sfx.wrap_damaged,
                "wrap ARCHIVE even when it fails its test (damaged data, a CRC-32 mismatch)");
    add_sfx_options(s, sfx.settings);

    qvx::ExtractCommand extract;
    CLI::App* x = app.add_subcommand("x", "extract an archive or self-extractor");
    x->add_option("ARCHIVE", extract.archive, "archive (.qvx) or self-extractor (.exe)")->required();
    x->add_option("MEMBER", extract.members, "extract only these members (paths or globs; a folder with its contents)");
    x->add_option("-o,--output", extract.dest, "destination folder (default: the current folder)")->type_name("DIR");
    x->add_flag("-y,--yes", extract.yes, "overwrite existing files without asking");
    x->add_flag("--force", extract.force,
                "extract a self-extractor whose stub was changed (it fails its self-check; without this, nothing "
                "is extracted)");
    x->add_flag("--no-space-check", extract.no_space_check,
                "extract even when the destination's volume has less free space than the files take");
    add_verbosity(x, extract.verbosity, "name every member extracted");

    std::vector<std::string> test_archives;
    qvx::Verbosity test_verbosity = qvx::Verbosity::NORMAL;
    CLI::App* t = app.add_subcommand("t", "decode every member and check its CRC-32, writing nothing");
    t->add_option("ARCHIVE", test_archives, "archives or self-extractors")->required();
    add_verbosity(t, test_verbosity, "name every member tested");

    qvx::ListCommand list;
    CLI::App* l = app.add_subcommand("l", "list the members of an archive or self-extractor");
    l->add_option("ARCHIVE", list.archives, "archives or self-extractors")->required();
    l->add_flag("--json", list.json, "one JSON document: an object per archive, with one per member");

    // A first word that is no command: say so, rather than CLI11's
    // "A subcommand is required".
    if (argc > 1 && argv[1][0] != '-') {
        static const std::set<std::string> commands = {"a", "x", "l", "t", "sfx"};
        if (commands.count(argv[1]) == 0) {
            qvx::error_line(std::string("unknown command \"") + argv[1] +
                            "\"; the commands are a, x, l, t and sfx (qvx --help)");
            return qvx::EXIT_USAGE;
        }
    }

    // An option before the command: name it, rather than CLI11's general
    // complaint.
    if (argc > 1 && argv[1][0] == '-' && argv[1][1] != 0 && strcmp(argv[1], "--help") != 0 &&
        strcmp(argv[1], "-h") != 0 && strcmp(argv[1], "--version") != 0) {
        qvx::error_line(std::string(argv[1]) +
                        " comes before the command; the command comes first (qvx COMMAND [OPTIONS] ...)");
        return qvx::EXIT_USAGE;
    }
    // A level of more than one digit ("-10", "-00") is a mistyped level, not
    // an input named so (./-10 names that file).
    for (int i = 2; i < argc && strcmp(argv[i], "--") != 0; i++) {
        const char* arg = argv[i];
        if (arg[0] == '-' && strlen(arg) > 2 && strspn(arg + 1, "0123456789") == strlen(arg) - 1 &&
            !takes_value(argv[i - 1])) {
            qvx::error_line(std::string(arg) + " is not a level: the levels are -0 to -9");
            return qvx::EXIT_USAGE;
        }
    }

    std::vector<std::string> args = rewrite_levels(argc, argv);
    std::vector<char*> argp;
    for (std::string& arg : args)
        argp.push_back(&arg[0]);
    try {
        app.parse((int)argp.size(), argp.data());
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        // As 7-Zip does: 7 for a command line it cannot use.
        return code == 0 ? 0 : qvx::EXIT_USAGE;
    }

    if (*a) {
        note_set(a, add.settings);
        if (!stream_size.empty() && (!qvx::parse_size(stream_size, add.stream_size) || add.stream_size == 0)) {
            qvx::error_line("--stream-size \"" + stream_size + "\" is not a size (e.g. 4M, 512K, 1000000)");
            return qvx::EXIT_USAGE;
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
        return qvx::run_test(test_archives, test_verbosity);
    if (*l)
        return qvx::run_list(list);
    return 2;
}

#if defined(_WIN32)
// qvx.exe: wmain (main_win32.cpp) passes the arguments in UTF-8.
int qvx_main(int argc, char** argv)
#else
int main(int argc, char** argv)
#endif
{
#if defined(SIGXFSZ)
    // A file size limit (ulimit -f) makes a write fail with "File too large"
    // rather than kill qvx with its temporary file in place.
    signal(SIGXFSZ, SIG_IGN);
#endif
#if defined(__GLIBC__)
    // Under a limit on the address space (ulimit -v) glibc cannot reserve
    // the 64 MB a further thread's memory arena takes, and tries again on
    // every allocation of that thread: packing on two threads then takes
    // minutes instead of seconds. All threads share one arena there.
    struct rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        mallopt(M_ARENA_MAX, 1);
#endif
    // Memory running out is the one failure met as an exception: it unwinds
    // to here, and every temporary file is removed on the way.
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        qvx::error_line("not enough memory");
    } catch (const std::length_error&) {
        qvx::error_line("not enough memory");
    } catch (const std::system_error& e) {
        if (e.code() != std::errc::resource_unavailable_try_again)
            throw;
        qvx::error_line("not enough memory for another thread");
    }
    return qvx::EXIT_NO_MEMORY;
}
