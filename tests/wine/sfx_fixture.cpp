// Host helper of the Wine tests: builds the self-extractors they run, from a
// stub and either real inputs (packed by the archiver) or a hand-made
// archive header, and damages them on request.
//
//   sfx_fixture STUB OUT [options] [INPUT...]
//     --title T --folder F --command C --overwrite --no-header
//     --command-dir       the command starts in the destination folder
//     --switches          the stub takes its switches (/S, /D= ...), as
//                         qvx a sets by default
//     --empty             an archive of one header with entry_count 0
//     --level N           compression level for INPUTs (default 6)
//     --stream-size N     cut the data into streams of about N bytes
//     --flip-stub-byte N  change byte N of the stub image afterwards
//     --flip-stub-text T  change the first byte of text T in the stub image
//                         (text the stub never reads before its self-check,
//                         wherever the linker put it)
//     --cut-archive N     keep only the first N bytes of the archive
//     --flip-archive-byte N  change byte N of the archive
//     --damage-directory  break the signature of the first directory piece
//     --hidden NAME       mark the member stored as NAME hidden and system
//     --no-check-values   clear our check values from the headers, as an
//                         archive of another writer would have none
//     --damage-member F   change one byte of host file F's data inside the
//                         archive (found by content: use incompressible
//                         data, which the archiver stores as it is)
//     --product P --product-version V --company C --icon FILE.ico
//     --banner T --intro T --help-text T --support T  the publisher's texts
//     --translation LANGUAGE-ID BANNER HELP  texts of another language
//                         the publisher's identity in the stub's resources
//     --rebase ADDRESS    move the stub to base ADDRESS (hexadecimal) before
//                         building: every address its base relocations
//                         name is adjusted, as a loader would
//     --exact-name FROM TO  the entry whose exact name is FROM (backslashes)
//                         keeps its stored name but carries TO in its name
//                         record, as a damaged or foreign record would
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/records.h"
#include "packer/archive_writer.h"
#include "packer/sfx_builder.h"
#include "tests/pe_rebase.h"
#include "tests/test_util.h"

using testutil::Bytes;

static int fail(const std::string& message)
{
    std::fprintf(stderr, "sfx_fixture: %s\n", message.c_str());
    return 2;
}

int main(int argc, char** argv)
{
    if (argc < 3)
        return fail("usage: sfx_fixture STUB OUT [options] [INPUT...]");
    Bytes stub = testutil::read_file(argv[1]);
    std::string out_path = argv[2];
    packer::SfxStrings strings;
    packer::ArchiveOptions options;
    std::vector<std::string> inputs;
    bool empty = false;
    bool damage_directory = false;
    bool no_check_values = false;
    std::vector<std::string> damage_members;
    std::vector<std::string> hidden;
    std::vector<std::pair<std::string, std::string>> exact_names;
    long flip_stub = -1, cut_archive = -1, flip_archive = -1;
    std::string flip_stub_text;
    std::string rebase;

    for (int i = 3; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "sfx_fixture: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--title")
            strings.title = value();
        else if (a == "--folder")
            strings.folder = value();
        else if (a == "--command")
            strings.command = value();
        else if (a == "--switches")
            strings.switches = true;
        else if (a == "--overwrite")
            strings.overwrite = true;
        else if (a == "--command-dir")
            strings.command_in_destination = true;
        else if (a == "--no-header")
            strings.with_header = false;
        else if (a == "--empty")
            empty = true;
        else if (a == "--level")
            options.level = std::atoi(value().c_str());
        else if (a == "--stream-size")
            options.stream_size = std::strtoull(value().c_str(), nullptr, 10);
        else if (a == "--flip-stub-byte")
            flip_stub = std::atol(value().c_str());
        else if (a == "--flip-stub-text")
            flip_stub_text = value();
        else if (a == "--cut-archive")
            cut_archive = std::atol(value().c_str());
        else if (a == "--flip-archive-byte")
            flip_archive = std::atol(value().c_str());
        else if (a == "--damage-directory")
            damage_directory = true;
        else if (a == "--hidden")
            hidden.push_back(value());
        else if (a == "--no-check-values")
            no_check_values = true;
        else if (a == "--damage-member")
            damage_members.push_back(value());
        else if (a == "--product")
            strings.identity.product = value();
        else if (a == "--product-version")
            strings.identity.product_version = value();
        else if (a == "--company")
            strings.identity.company = value();
        else if (a == "--banner")
            strings.identity.texts.banner = value();
        else if (a == "--intro")
            strings.identity.texts.intro = value();
        else if (a == "--help-text")
            strings.identity.texts.help = value();
        else if (a == "--support")
            strings.identity.texts.support = value();
        else if (a == "--translation") {  // LANGUAGE-ID BANNER HELP (0x0407 "..." "...")
            packer::PublisherTexts t;
            t.language = (uint16_t)std::strtoul(value().c_str(), nullptr, 0);
            t.banner = value();
            t.help = value();
            strings.identity.translations.push_back(t);
        }
        else if (a == "--icon")
            strings.identity.icon = testutil::read_file(value());
        else if (a == "--rebase")
            rebase = value();
        else if (a == "--exact-name") {
            std::string from = value();
            exact_names.push_back({from, value()});
        }
        else
            inputs.push_back(a);
    }

    Bytes archive;
    if (empty) {
        archive.assign(ARCHIVE_HEADER_BYTES, 0);
        std::memcpy(archive.data(), "QVX\n", 4);
        store_le32(&archive[4], ARCHIVE_HEADER_BYTES);
        store_le32(&archive[20], ARCHIVE_HEADER_BYTES);
    } else {
        std::vector<packer::WriterEntry> entries;
        std::vector<std::string> warnings;
        std::string error;
        if (!packer::collect_entries(inputs, entries, error, warnings))
            return fail(error);
        for (const std::string& name : hidden) {
            auto entry = std::find_if(entries.begin(), entries.end(),
                                      [&](const packer::WriterEntry& e) { return e.name == name; });
            if (entry == entries.end())
                return fail("--hidden: no member " + name);
            entry->attributes |= ATTR_HIDDEN | ATTR_SYSTEM;
        }
        for (const auto& change : exact_names) {
            auto e = std::find_if(entries.begin(), entries.end(),
                                  [&](const packer::WriterEntry& w) { return w.exact == change.first; });
            if (e == entries.end())
                return fail("--exact-name: no entry " + change.first);
            e->exact = change.second;
        }
        if (!packer::write_archive(entries, options, archive, error))
            return fail(error);
    }
    if (no_check_values && archive.size() >= ARCHIVE_HEADER_BYTES)
        for (size_t at : {12, 13, 14, 15, 16, 17, 18, 19, 40, 41})
            archive[at] = 0;
    if (damage_directory) {
        uint32_t directory = load_le32(&archive[4]);
        if (directory >= archive.size())
            return fail("no directory to damage");
        archive[directory] ^= 0x20;
    }
    for (const std::string& member : damage_members) {
        Bytes data = testutil::read_file(member);
        if (data.size() < 64)
            return fail("--damage-member needs at least 64 bytes: " + member);
        const size_t probe = 32;
        auto middle = data.begin() + data.size() / 2;
        auto at = std::search(archive.begin(), archive.end(), middle, middle + probe);
        if (at == archive.end())
            return fail("the bytes of " + member + " are not stored as they are");
        at[probe / 2] ^= 0xFF;
    }
    if (flip_archive >= 0) {
        if ((size_t)flip_archive >= archive.size())
            return fail("--flip-archive-byte past the archive");
        archive[flip_archive] ^= 0x5A;
    }
    if (cut_archive >= 0 && (size_t)cut_archive < archive.size())
        archive.resize(cut_archive);

    Bytes sfx;
    std::string error;
    std::vector<std::string> warnings;
    if (!rebase.empty() && !testutil::rebase_image(stub, std::strtoull(rebase.c_str(), nullptr, 16), error))
        return fail("--rebase: " + error);
    if (!packer::build_sfx(stub, archive, strings, sfx, error, warnings))
        return fail(error);
    for (const std::string& w : warnings)
        std::fprintf(stderr, "sfx_fixture: warning: %s\n", w.c_str());
    if (!flip_stub_text.empty()) {
        auto at = std::search(stub.begin(), stub.end(), flip_stub_text.begin(), flip_stub_text.end());
        if (at == stub.end())
            return fail("--flip-stub-text: no " + flip_stub_text + " in the stub");
        flip_stub = at - stub.begin();
    }
    if (flip_stub >= 0) {
        if ((size_t)flip_stub >= stub.size())
            return fail("--flip-stub-byte past the stub");
        sfx[flip_stub] ^= 0x01;
    }
    testutil::write_file(out_path, sfx);
    std::printf("%s: %zu bytes (stub %zu, archive %zu)\n", out_path.c_str(), sfx.size(), stub.size(), archive.size());
    return 0;
}
