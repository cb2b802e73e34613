// qvx a: collects the inputs, packs them, and writes a bare archive or a
// self-extractor.
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "archive/stub_info.h"
#include "packer/archive_writer.h"
#include "tools/commands.h"
#include "tools/output_file.h"
#include "tools/progress_bar.h"
#include "tools/sfx.h"
#include "tools/tool_util.h"

namespace qvx {

// Names that the stub will pass over under the default folder: folder,
// backslash and name must fit in 259 characters.
static void warn_long_names(const std::vector<packer::WriterEntry>& entries, const std::string& folder)
{
    if (folder.empty())
        return;
    // The driver's own rule: one trailing backslash goes, and a separator
    // is added unless the folder ends in ':' or '\\'.
    size_t length = folder.size();
    if (length >= 2 && folder[length - 1] == '\\')
        length--;
    size_t prefix = length;
    if (folder[length - 1] != ':' && folder[length - 1] != '\\')
        prefix++;
    size_t room = prefix >= PATH_SIZE - 1 ? 0 : PATH_SIZE - 1 - prefix;
    unsigned count = 0;
    for (const packer::WriterEntry& e : entries)
        if (e.name.size() > room && count++ < 3)
            error_line("warning: " + host_name(e.name) + " does not fit under the default folder (" +
                       std::to_string(room) + " characters left) and would be passed over there");
    if (count > 3)
        error_line("warning: " + std::to_string(count - 3) + " more names do not fit under the default folder");
}

int run_add(const AddCommand& c)
{
    bool sfx = c.sfx || ends_with_nocase(c.output, ".exe");
    const SfxSettings& s = c.settings;
    if (!sfx && (s.title_set || s.folder_set || s.command_set || s.overwrite || !s.stub.empty())) {
        error_line("--title, --folder, --command, --overwrite and --stub need a self-extractor "
                   "(OUT ending in .exe, or --sfx)");
        return 7;
    }
    if (!check_output(c.output, c.force))
        return EXIT_FAILED;

    packer::SfxStrings strings;
    std::vector<uint8_t> stub;
    if (sfx && (!sfx_strings(s, strings) || !load_stub(s, stub)))
        return EXIT_FAILED;

    std::vector<packer::WriterEntry> entries;
    std::string error;
    std::vector<std::string> warnings;
    if (!packer::collect_entries(c.inputs, entries, error, warnings)) {
        error_line(error + "; nothing written");
        return EXIT_FAILED;
    }
    for (const std::string& w : warnings)
        error_line("warning: " + w);
    // An existing OUT replaced with -f must not pack itself.
    std::error_code ec;
    if (std::filesystem::exists(c.output, ec)) {
        auto out_path = std::filesystem::canonical(c.output, ec);
        std::vector<packer::WriterEntry> kept;
        for (const packer::WriterEntry& e : entries) {
            std::error_code ec2;
            if (!e.folder && std::filesystem::canonical(e.host_path, ec2) == out_path && !ec2)
                continue;
            kept.push_back(e);
        }
        entries.swap(kept);
    }
    if (entries.empty()) {
        error_line("nothing to archive; nothing written");
        return EXIT_FAILED;
    }
    if (sfx && s.folder_set)
        warn_long_names(entries, strings.folder);

    packer::ArchiveOptions options;
    options.level = c.level;
    options.stream_size = c.stream_size;
    ProgressBar bar("Packing");
    options.progress = [&bar](uint64_t done, uint64_t total) { bar.update("", done, total); };
    std::vector<uint8_t> archive;
    bool ok = packer::write_archive(entries, options, archive, error);
    bar.clear();
    if (!ok) {
        error_line(error + "; nothing written");
        return EXIT_FAILED;
    }

    if (sfx) {
        if (!build_and_write_sfx(stub, archive, strings, c.output))
            return EXIT_FAILED;
    } else if (!write_atomically(c.output, archive, error)) {
        error_line(error);
        return EXIT_FAILED;
    }

    uint64_t in_bytes = 0;
    unsigned files = 0, folders = 0;
    for (const packer::WriterEntry& e : entries) {
        if (e.folder) {
            folders++;
        } else {
            files++;
            in_bytes += e.size;
        }
    }
    struct stat st;
    uint64_t out_bytes = stat(c.output.c_str(), &st) == 0 ? (uint64_t)st.st_size : archive.size();
    printf("%s: %s, %s, %llu bytes -> %llu bytes", c.output.c_str(), counted(files, "file").c_str(),
           counted(folders, "folder").c_str(), (unsigned long long)in_bytes, (unsigned long long)out_bytes);
    if (in_bytes > 0)
        printf(" (%.1f%%)", 100.0 * (double)out_bytes / (double)in_bytes);
    printf("\n");
    return 0;
}

}  // namespace qvx
