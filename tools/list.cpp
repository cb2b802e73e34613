// qvx l and qvx t: the commands that read an archive and write nothing.
#include <cstdio>

#include "archive/records.h"
#include "packer/host_extract.h"
#include "platform/host.h"
#include "platform/platform.h"
#include "tools/commands.h"
#include "tools/tool_util.h"

namespace qvx {

int run_test(const std::string& archive) { return run_extract_or_test(archive, nullptr); }

int run_list(const std::string& path)
{
    packer::ArchiveInfo info;
    std::string error;
    if (packer::open_archive(path, info, error) < 0) {
        error_line(error);
        return EXIT_FAILED;
    }
    if (info.unexpected_magic)
        error_line("warning: " + path + " does not begin with the QVX signature; reading it as an archive");
    printf("Archive: %s\n", path.c_str());
    if (info.sfx) {
        printf("Self-extractor: stub %u bytes, archive at offset %u\n", info.stub_length, info.archive_start);
        if (info.has_sfx_header) {
            printf("Title: %s\n", printable(host::cp1252_to_utf8(info.title)).c_str());
            printf("Folder: %s\n", printable(host::cp1252_to_utf8(info.folder)).c_str());
            printf("Command: %s\n", printable(host::cp1252_to_utf8(info.command)).c_str());
            printf("Overwrite without asking: %s\n", info.overwrite ? "yes" : "no");
        }
    }
    printf("\n%12s  %-19s  %-5s  %s\n", "Size", "Modified", "Attr", "Name");
    printf("------------  -------------------  -----  ----\n");
    uint64_t bytes = 0;
    unsigned files = 0, folders = 0;
    ResultCode r = 0;
    if (info.header.entry_count > 0) {
        r = packer::read_directory([&](const packer::ListedEntry& e) {
            bool folder = (e.entry.entry_flags & ENTRY_FOLDER) != 0;
            std::string name = host_name(e.name);
            if (folder) {
                folders++;
                printf("%12s  %s  %s  %s/\n", "", packer::format_dos_time(e.entry.write_date, e.entry.write_time).c_str(),
                       packer::format_attributes(e.entry.attributes, true).c_str(), name.c_str());
            } else {
                files++;
                bytes += e.entry.member_size;
                printf("%12u  %s  %s  %s\n", e.entry.member_size,
                       packer::format_dos_time(e.entry.write_date, e.entry.write_time).c_str(),
                       packer::format_attributes(e.entry.attributes, false).c_str(), name.c_str());
            }
            return true;
        });
    }
    printf("------------  -------------------  -----  ----\n");
    printf("%12llu  %s, %s; %llu bytes packed\n", (unsigned long long)bytes, counted(files, "file").c_str(),
           counted(folders, "folder").c_str(), (unsigned long long)(info.file_size - info.archive_start));
    int code = 0;
    if (r < 0) {
        fflush(stdout);
        host::hooks().message_box = [](const char* text, const char*, unsigned) {
            error_line(packer::message_line(text));
            return BOX_ANSWER_OK;
        };
        report_error(nullptr, r, nullptr, 0);
        host::reset_hooks();
        code = EXIT_FAILED;
    }
    packer::close_archive();
    return code;
}

}  // namespace qvx
