// qvx l and qvx t: the commands that read archives and write nothing.
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "archive/records.h"
#include "host/extract.h"
#include "platform/host.h"
#include "platform/platform.h"
#include "tools/commands.h"
#include "tools/tool_util.h"

namespace qvx {

int run_test(const std::vector<std::string>& archives, Verbosity verbosity)
{
    int worst = 0;
    for (const std::string& archive : archives)
        worst = std::max(worst, run_extract_or_test(archive, nullptr, verbosity));
    return worst;
}

namespace {


// What a failed directory walk says, as one line.
std::string walk_error(host::Run& run, ResultCode r)
{
    std::string line;
    run.hooks.message_box = [&line](ResultCode, const char* text, unsigned) {
        line = host::message_line(text);
        return (int)BOX_ANSWER_OK;
    };
    report_error(&run.x, r, nullptr, 0);
    run.hooks.message_box = nullptr;
    return line;
}

// EXIT_FAILED, with the stub's warning on stderr, when a self-extractor's
// stub fails its self-check; 0 otherwise.
int stub_failure(host::Run& run, const std::string& path, const host::ArchiveInfo& info)
{
    run.hooks.message_box = [&path](ResultCode, const char* text, unsigned) {
        error_line(path + ": " + host::message_line(text));
        return (int)BOX_ANSWER_OK;
    };
    ResultCode r = host::check_stub(run, path, info);
    run.hooks.message_box = nullptr;
    return r < 0 ? EXIT_FAILED : 0;
}

int list_text(const std::string& path)
{
    auto run = std::make_unique<host::Run>();
    host::ArchiveInfo info;
    std::string error;
    if (host::open_archive(*run, path, info, error) < 0) {
        error_line(error);
        return EXIT_FAILED;
    }
    if (info.unexpected_magic)
        error_line("warning: " + path + " does not begin with the QVX signature; reading it as an archive");
    std::string trailing = host::trailing_bytes_warning(path, info);
    if (!trailing.empty())
        error_line(trailing);
    // A stub that fails its self-check refuses to run: the listing says so.
    int code = stub_failure(*run, path, info);
    print_out("Archive: %s\n", printable(path).c_str());
    if (info.sfx) {
        print_out("Self-extractor: stub %u bytes, archive at offset %u\n", info.stub_length, info.archive_start);
        if (info.has_sfx_header) {
            print_out("Title: %s\n", printable(info.title).c_str());
            print_out("Folder: %s\n", printable(info.folder).c_str());
            print_out("Command: %s\n", printable(info.command).c_str());
            print_out("Overwrite without asking: %s\n", info.overwrite ? "yes" : "no");
        }
    }
    print_out("\n%12s  %-19s  %-5s  %s\n", "Size", "Modified", "Attr", "Name");
    print_out("------------  -------------------  -----  ----\n");
    uint64_t bytes = 0;
    unsigned files = 0, folders = 0;
    ResultCode r = 0;
    host::DirectoryCheck check;
    if (info.header.entry_count > 0) {
        r = host::read_directory(*run, [&](const host::ListedEntry& e) {
            check.add(e);
            bool folder = (e.entry.entry_flags & ENTRY_FOLDER) != 0;
            std::string name = host_name(e.name);
            std::string when = host::dos_time_text(e.entry.write_date, e.entry.write_time);
            if (folder) {
                folders++;
                print_out("%12s  %s  %s  %s/\n", "", when.c_str(),
                       host::format_attributes(e.entry.attributes, true).c_str(), name.c_str());
            } else {
                files++;
                bytes += e.entry.member_size;
                print_out("%12u  %s  %s  %s\n", e.entry.member_size, when.c_str(),
                       host::format_attributes(e.entry.attributes, false).c_str(), name.c_str());
            }
            return true;
        });
    }
    print_out("------------  -------------------  -----  ----\n");
    uint64_t packed = info.file_size - info.archive_start;
    print_out("%12llu  %s, %s; %llu bytes packed, expands to %s\n", (unsigned long long)bytes,
           counted(files, "file").c_str(), counted(folders, "folder").c_str(), (unsigned long long)packed,
           host::human_size(bytes).c_str());
    fflush(stdout);
    for (const std::string& line : check.warnings(path))
        error_line(line);
    if (r < 0) {
        fflush(stdout);
        error_line(walk_error(*run, r));
        code = EXIT_FAILED;
    }
    host::close_archive(*run);
    return code;
}

nlohmann::json dos_time_json(uint16_t date, uint16_t time_word)
{
    std::string iso = host::dos_time_iso(date, time_word);
    return iso.empty() ? nlohmann::json(nullptr) : nlohmann::json(iso);
}

// One archive as a JSON object; the field names are documented in the README
// and stay as they are.
int list_json(const std::string& path, nlohmann::json& out)
{
    out = nlohmann::json::object();
    out["archive"] = path;
    auto run = std::make_unique<host::Run>();
    host::ArchiveInfo info;
    std::string error;
    if (host::open_archive(*run, path, info, error) < 0) {
        error_line(error);
        out["error"] = error;
        return EXIT_FAILED;
    }
    out["self_extractor"] = info.sfx;
    std::string trailing = host::trailing_bytes_warning(path, info);
    if (!trailing.empty())
        error_line(trailing);
    int code = stub_failure(*run, path, info);
    if (code != 0)
        out["error"] = "the stub fails its self-check";
    if (info.sfx && info.has_sfx_header) {
        out["title"] = info.title;
        out["folder"] = info.folder;
        out["command"] = info.command;
        out["overwrite"] = info.overwrite;
    }
    out["packed_bytes"] = info.file_size - info.archive_start;
    nlohmann::json members = nlohmann::json::array();
    ResultCode r = 0;
    host::DirectoryCheck check;
    if (info.header.entry_count > 0) {
        r = host::read_directory(*run, [&](const host::ListedEntry& e) {
            check.add(e);
            bool folder = (e.entry.entry_flags & ENTRY_FOLDER) != 0;
            std::string name = e.name;
            for (char& c : name)
                if (c == '\\')
                    c = '/';
            nlohmann::json m;
            m["name"] = name;
            m["type"] = folder ? "folder" : "file";
            m["size"] = folder ? 0u : e.entry.member_size;
            if (!folder) {
                char crc[9];
                snprintf(crc, sizeof crc, "%08x", e.entry.member_crc);
                m["crc32"] = crc;
            }
            m["modified"] = dos_time_json(e.entry.write_date, e.entry.write_time);
            m["created"] = dos_time_json(e.entry.create_date, e.entry.create_time);
            m["attributes"] = host::format_attributes(e.entry.attributes, folder);
            members.push_back(m);
            return true;
        });
    }
    out["members"] = members;
    for (const std::string& line : check.warnings(path))
        error_line(line);
    host::close_archive(*run);
    if (r < 0) {
        std::string line = walk_error(*run, r);
        error_line(line);
        out["error"] = line;
        return EXIT_FAILED;
    }
    return code;
}

}  // namespace

int run_list(const ListCommand& c)
{
    int worst = 0;
    if (c.json) {
        nlohmann::json all = nlohmann::json::array();
        for (const std::string& path : c.archives) {
            nlohmann::json one;
            worst = std::max(worst, list_json(path, one));
            all.push_back(one);
        }
        // Names are UTF-8 (exact names are checked, stored ones converted);
        // a string of the SfxHeader marked UTF-8 may not be, and a
        // replacement character is better than an exception.
        print_out("%s\n", all.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        return worst;
    }
    for (size_t i = 0; i < c.archives.size(); i++) {
        if (i > 0)
            print_out("\n");
        worst = std::max(worst, list_text(c.archives[i]));
    }
    return worst;
}

}  // namespace qvx
