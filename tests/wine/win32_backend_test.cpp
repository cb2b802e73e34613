// The Win32 platform wrappers under Wine: results and the LastError rules
// ("clears" and "sets") of each wrapper, file times through local time, and
// the system services that need no window. Built with the normal C runtime;
// prints one line per failed check and ends with 1 if there was any.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "archive/stub_info.h"
#include "platform/platform.h"
#include "tests/utf8_cases.h"

static int failures = 0;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            std::printf("FAIL %s:%d: %s (LastError %u)\n", __FILE__, __LINE__, #cond, LastError); \
            failures++;                                                        \
        }                                                                      \
    } while (0)

static std::string dir;

static std::string path(const char* name)
{
    return dir + "\\" + name;
}

static void files_and_errors()
{
    std::string a = path("a.bin");
    LastError = 77;
    FileHandle h = file_create(a.c_str(), FILE_ATTRIBUTE_NORMAL);
    CHECK(h != INVALID_FILE);
    CHECK(LastError == 0);  // clears
    CHECK(file_write(h, "hello", 5) == 5);
    CHECK(file_seek(h, 0, SEEK_FROM_END) == 5);
    CHECK(file_seek(h, 1, SEEK_FROM_START) == 1);
    CHECK(file_seek(h, 2, SEEK_FROM_CURRENT) == 3);
    CHECK(file_close(h) == 1);

    // A missing file: "file not found", and the next successful call clears.
    FileHandle missing = file_open(path("missing.bin").c_str(), ACCESS_READ);
    CHECK(missing == INVALID_FILE);
    CHECK(LastError == ERROR_FILE_NOT_FOUND);
    FileHandle r = file_open(a.c_str(), ACCESS_READ);
    CHECK(r != INVALID_FILE);
    CHECK(LastError == 0);
    char buffer[16] = {};
    CHECK(file_read(r, buffer, sizeof buffer) == 5);
    CHECK(std::memcmp(buffer, "hello", 5) == 0);
    CHECK(file_read(r, buffer, sizeof buffer) == 0);  // end of file
    // Writing through a read-only handle fails with the system's code.
    CHECK(file_write(r, "x", 1) == -1);
    CHECK(LastError == ERROR_ACCESS_DENIED);
    // Opened for reading, the file may be opened again for writing.
    FileHandle w = file_open(a.c_str(), ACCESS_READ | ACCESS_WRITE);
    CHECK(w != INVALID_FILE);
    if (w != INVALID_FILE)
        file_close(w);
    CHECK(file_close(r) == 1);

    // file_close keeps an earlier error and records its own only over 0.
    // (-1 itself would name the current process, which closes "fine".)
    FileHandle closed = r;
    LastError = 5;
    CHECK(file_close(closed) == 0);
    CHECK(LastError == 5);
    LastError = 0;
    CHECK(file_close(closed) == 0);
    CHECK(LastError == ERROR_INVALID_HANDLE);

    CHECK(file_seek(closed, 0, SEEK_FROM_START) == -1);
    CHECK(LastError == ERROR_INVALID_HANDLE);
    CHECK(file_read(closed, buffer, 1) == -1);
    CHECK(LastError == ERROR_INVALID_HANDLE);
}

static void attributes_and_folders()
{
    std::string a = path("a.bin");
    std::string sub = path("sub");

    // These three only set LastError: a stale code survives their success.
    LastError = 77;
    CHECK(path_get_attributes(a.c_str()) != -1);
    CHECK(LastError == 77);
    CHECK(dir_create(sub.c_str()) == 1);
    CHECK(LastError == 77);
    CHECK((path_get_attributes(sub.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0);
    CHECK(dir_create(sub.c_str()) == 0);
    CHECK(LastError == ERROR_ALREADY_EXISTS);
    CHECK(path_get_attributes(path("none").c_str()) == -1);
    CHECK(LastError == ERROR_FILE_NOT_FOUND);

    LastError = 77;
    CHECK(path_set_attributes(a.c_str(), FILE_ATTRIBUTE_READONLY) == 1);
    CHECK(LastError == 0);
    CHECK((path_get_attributes(a.c_str()) & FILE_ATTRIBUTE_READONLY) != 0);
    CHECK(path_set_attributes(a.c_str(), 0) == 1);
    CHECK(path_set_attributes(path("none").c_str(), 0) == 0);
    CHECK(LastError == ERROR_FILE_NOT_FOUND);

    // A new file only where the name is free; a rename over an existing
    // file replaces it, over a folder fails. Both only set LastError.
    std::string n = path("new.bin");
    FileHandle h = file_create_new(n.c_str(), FILE_ATTRIBUTE_NORMAL);
    CHECK(h != INVALID_FILE);
    CHECK(file_write(h, "new", 3) == 3);
    file_close(h);
    CHECK(file_create_new(n.c_str(), FILE_ATTRIBUTE_NORMAL) == INVALID_FILE);
    CHECK(LastError == ERROR_FILE_EXISTS);
    CHECK(file_create_new(sub.c_str(), FILE_ATTRIBUTE_NORMAL) == INVALID_FILE);
    LastError = 77;
    CHECK(path_move(n.c_str(), sub.c_str(), 1) == 0);
    CHECK(LastError == ERROR_ACCESS_DENIED || LastError == ERROR_ALREADY_EXISTS);
    LastError = 77;
    CHECK(path_move(n.c_str(), a.c_str(), 1) == 1);
    CHECK(LastError == 77);
    CHECK(path_get_attributes(n.c_str()) == -1);
    FileHandle r = file_open(a.c_str(), ACCESS_READ);
    char buffer[8] = {};
    CHECK(file_read(r, buffer, sizeof buffer) == 3 && std::memcmp(buffer, "new", 3) == 0);
    file_close(r);
    CHECK(path_move(n.c_str(), a.c_str(), 1) == 0);
    CHECK(LastError == ERROR_FILE_NOT_FOUND);

    LastError = 77;
    CHECK(path_delete(a.c_str()) == 1);
    CHECK(LastError == 77);
    CHECK(path_delete(a.c_str()) == 0);
    CHECK(LastError == ERROR_FILE_NOT_FOUND);
    RemoveDirectoryA(sub.c_str());
}

static void file_times()
{
    std::string t = path("times.bin");
    FileHandle h = file_create(t.c_str(), FILE_ATTRIBUTE_NORMAL);
    CHECK(h != INVALID_FILE);
    FILETIME before_create, before_write;
    GetFileTime((HANDLE)h, &before_create, nullptr, &before_write);

    // Zero dates leave both times as the system set them.
    CHECK(file_set_times(h, 0, 0, 0, 0) == 1);
    FILETIME c, w;
    GetFileTime((HANDLE)h, &c, nullptr, &w);
    CHECK(CompareFileTime(&c, &before_create) == 0);
    CHECK(CompareFileTime(&w, &before_write) == 0);

    // 2021-01-15 10:20:30 local, and 2019-02-03 04:05:06 local.
    const WORD write_date = ((2021 - 1980) << 9) | (1 << 5) | 15;
    const WORD write_time = (10 << 11) | (20 << 5) | (30 / 2);
    const WORD create_date = ((2019 - 1980) << 9) | (2 << 5) | 3;
    const WORD create_time = (4 << 11) | (5 << 5) | (6 / 2);
    LastError = 77;
    CHECK(file_set_times(h, create_date, create_time, write_date, write_time) == 1);
    CHECK(LastError == 0);
    GetFileTime((HANDLE)h, &c, nullptr, &w);
    FILETIME local;
    WORD date, time_word;
    FileTimeToLocalFileTime(&w, &local);
    FileTimeToDosDateTime(&local, &date, &time_word);
    CHECK(date == write_date && time_word == write_time);
    // The creation time is passed on too, but a Unix file system under Wine
    // keeps none to read back.

    // Only the creation time given: the write time stays.
    FILETIME w_kept = w;
    CHECK(file_set_times(h, create_date, create_time, 0, 0) == 1);
    GetFileTime((HANDLE)h, nullptr, nullptr, &w);
    CHECK(CompareFileTime(&w, &w_kept) == 0);

    file_close(h);
    CHECK(file_set_times(h, 0, 0, write_date, write_time) == 0);  // closed
    CHECK(LastError == ERROR_INVALID_HANDLE);
    path_delete(t.c_str());
}

// Paths are UTF-8 and reach the W functions whole. Text converts to UTF-16
// strictly when it is UTF-8 (the host's rule too: platform_test), and as the
// A functions read it when it is in the ANSI code page.
static void unicode_paths_and_text()
{
    std::string folder = path("\xd0\x97\xd0\xb0\xd0\xb3\xd1\x80\xd1\x83\xd0\xb7\xd0\xba\xd0\xb8");  // Загрузки
    std::string file = folder + "\\\xe6\x97\xa5\xf0\x9f\x99\x82.txt";                             // 日🙂.txt
    CHECK(dir_create(folder.c_str()) == 1);
    FileHandle h = file_create(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    CHECK(h != INVALID_FILE);
    file_close(h);
    wchar_t wide_file[MAX_PATH];
    MultiByteToWideChar(CP_UTF8, 0, file.c_str(), -1, wide_file, MAX_PATH);
    CHECK(GetFileAttributesW(wide_file) != INVALID_FILE_ATTRIBUTES);
    CHECK(path_set_attributes(file.c_str(), FILE_ATTRIBUTE_READONLY) == 1);
    CHECK((path_get_attributes(file.c_str()) & FILE_ATTRIBUTE_READONLY) != 0);
    CHECK(path_set_attributes(file.c_str(), FILE_ATTRIBUTE_NORMAL) == 1);
    CHECK(path_delete(file.c_str()) == 1);
    CHECK(path_get_attributes(file.c_str()) == -1);
    wchar_t wide_folder[MAX_PATH];
    MultiByteToWideChar(CP_UTF8, 0, folder.c_str(), -1, wide_folder, MAX_PATH);
    CHECK(RemoveDirectoryW(wide_folder));

    u16 units[8];
    for (const Utf8Case& c : utf8_cases)
        CHECK(text_to_units(units, 8, c.text, (u32)std::strlen(c.text), 1) == c.units);
    if (GetACP() == 1252) {
        CHECK(text_to_units(units, 8, "caf\xe9\x80", 5, 0) == 5 && units[3] == 0xE9 && units[4] == 0x20AC);
        char out[16];
        CHECK(text_from_units(out, sizeof out, units, 5) == 8 && std::strcmp(out, "caf\xc3\xa9\xe2\x82\xac") == 0);
        CHECK(text_from_units(out, 8, units, 5) == 0 && out[0] == 0);
    }
}

static void heap_and_services()
{
    char* p = (char*)mem_alloc(100);
    CHECK(p != nullptr);
    std::memset(p, 'x', 100);
    p = (char*)mem_realloc(p, 100000);
    CHECK(p != nullptr && p[99] == 'x');
    mem_free(p);

    char here[PATH_SIZE];
    char expected[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, expected);
    CHECK(current_directory(here, PATH_SIZE) == std::strlen(expected));
    CHECK(std::strcmp(here, expected) == 0);
    char tiny[4] = "abc";
    CHECK(current_directory(tiny, sizeof tiny) == 0);
    CHECK(tiny[0] == 0);

    // A drive that does not exist cannot be asked: long names.
    CHECK(volume_needs_short_names('Q') == 0);
    // Wine's C: drive reports long names.
    CHECK(volume_needs_short_names('C') == 0);

    pump_messages(0);  // an empty queue: returns at once
}

int main()
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    dir = std::string(temp) + "dravex-backend-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir.c_str(), nullptr);

    files_and_errors();
    attributes_and_folders();
    file_times();
    unicode_paths_and_text();
    heap_and_services();

    RemoveDirectoryA(dir.c_str());
    std::printf("%s: %d failed checks\n", failures ? "FAIL" : "PASS", failures);
    return failures ? 1 : 0;
}
