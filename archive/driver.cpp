// The extraction driver: walks the compressed directory entry by entry and
// produces every folder and file under the destination folder, then runs the
// archive's command.
//
// The directory is never held whole. It is decoded one piece at a time into
// an 8192-byte buffer, and the pieces share the engine's input buffer and the
// own file with the data streams: both sides keep the file position in
// the decoder's input.file_position and seek back to their own place when the other
// has moved it.
//
// Archive names are untrusted. Each one is checked before anything is made
// from it (entry_name_is_safe), again as it is used (its exact form or the
// stored one converted, after the 8.3 conversion), and every bound below is
// checked against the buffer it protects: a damaged directory is reported,
// never read past.
//
// Paths are UTF-8 in buffers of PATH_BUFFER_SIZE bytes; the limit of a
// Windows path, 259 characters, is counted in UTF-16 units.
#include "archive/driver.h"

#include "archive/names.h"
#include "archive/paths.h"
#include "archive/records.h"
#include "archive/stub_info.h"
#include "codec/decoder.h"
#include "platform/text.h"

enum {
    PATH_CHARS_MAX = PATH_SIZE - 1,          // a path holds at most 259 characters
    PATH_BYTES_MAX = PATH_BUFFER_SIZE - 1,   // in at most this many bytes
    TEMPORARY_NAME_MAX = 12,                 // "~dx00000.tmp"
};

static int bytes_equal(const u8* a, const u8* b, u32 count)
{
    for (u32 i = 0; i < count; i++)
        if (a[i] != b[i])
            return 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Directory pieces
// ---------------------------------------------------------------------------

// Decodes the LZ block of a directory piece loaded by stream_load_once to
// the given length, from its codes: the window selector after the header is
// passed over, since a piece has no history to keep.
static i32 decode_directory_lz(Decoder* d, u8* buffer, u32 length)
{
    InputStream& s = d->input;
    u32 bits = BLOCK_HEADER_BITS + LZ_SELECTOR_BITS;
    s.cursor = s.buffer + bits / 8;
    s.bit_position = bits % 8;
    return decode_lz_block(d, buffer, 0, length, 0);
}

ResultCode load_directory_piece(Extraction* x, u8* buffer)
{
    Decoder* d = x->decoder;
    InputStream& s = d->input;
    i32 position = x->directory_position;
    if (s.file_position != position || position < 0) {
        if (position < 0 || file_seek(d->file, position, SEEK_FROM_START) != position)
            return ERR_SEEK;
        s.file_position = position;
    }

    // Bytes left from the previous piece are dropped: pieces hold whole
    // entries.
    x->directory_cursor = buffer;
    x->directory_end = buffer;

    u8 signature[STREAM_SIGNATURE_SIZE];
    i32 got = read_counted(d, signature, sizeof signature);
    if (got < 0)
        return ERR_READ;
    if (got < STREAM_SIGNATURE_SIZE || !bytes_equal(signature, directory_piece_signature, STREAM_SIGNATURE_SIZE))
        return ERR_DAMAGED;

    i32 loaded = stream_load_once(d, DIRECTORY_PIECE_MAX);
    if (loaded < 0)
        return ERR_READ;
    if (loaded < 6)
        return ERR_DAMAGED;

    BlockHeader header;
    parse_block_header(s.cursor, &header);
    if (header.method > METHOD_LZ)
        return ERR_DAMAGED;
    // The buffer takes exactly one piece's output; a larger claim is damage,
    // not something to decode into memory that is not ours.
    if (header.output_length > DIRECTORY_BUFFER_SIZE)
        return ERR_DAMAGED;

    // A read that came back short means the file ends here: a piece that
    // needs more than that is cut, and only the entries decoded wholly from
    // bytes really present are used. The walk then finds the file's end
    // where the next piece would be, and reports the damage there.
    int cut_by_end = loaded < DIRECTORY_PIECE_MAX;
    u32 length = header.output_length;
    i32 produced;
    if (header.method == METHOD_STORED) {
        // Past the piece the input buffer holds nothing of it.
        if (length > (u32)loaded - 6) {
            if (!cut_by_end)
                return ERR_DAMAGED;
            length = (u32)loaded - 6;
            x->directory_cut = 1;
        }
        s.cursor += BLOCK_HEADER_BITS / 8;
        s.bit_position = BLOCK_HEADER_BITS % 8;
        produced = stream_read_stored(d, buffer, length);
    } else {
        produced = decode_directory_lz(d, buffer, length);
    }
    if (produced < 0)
        return produced;

    // A decoder that stopped short, or that took bits from beyond the bytes
    // of the piece, has decoded damage.
    u32 consumed = (u32)(s.cursor - s.buffer);
    if ((u32)produced != length || consumed > (u32)loaded) {
        if (!cut_by_end)
            return ERR_DAMAGED;
        // The LZ output is good up to the end of the last entry whose
        // decoding, redone to exactly that length, stayed inside the bytes
        // read. Decoding to a shorter length gives the same first bytes, so
        // the entries are read from the first decoding as the check goes.
        u32 good = 0;
        for (;;) {
            u32 next = good + DIRECTORY_ENTRY_SIZE;
            if (next > (u32)produced)
                break;
            DirectoryEntry e;
            parse_directory_entry(buffer + good, &e);
            next += (u32)e.name_length + e.extra_length_1 + e.extra_length_2;
            if (next > (u32)produced || decode_directory_lz(d, buffer, next) != (i32)next ||
                s.cursor - s.buffer > loaded)
                break;
            good = next;
        }
        produced = (i32)good;
        consumed = (u32)loaded;
        x->directory_cut = 1;
    }

    x->directory_end = buffer + produced;
    x->directory_position += STREAM_SIGNATURE_SIZE + (i32)consumed;
    return 0;
}

void directory_begin(Extraction* x, Decoder* d)
{
    x->decoder = d;
    x->directory_cursor = x->directory_buffer;
    x->directory_end = x->directory_buffer;
    x->directory_position = (i32)((u32)d->archive_start + load_le32(x->archive_header + 4));
    x->entries_left = load_le32(x->archive_header + 8);
    x->directory_cut = 0;
    d->input.file_position = file_seek(d->file, x->directory_position, SEEK_FROM_START);
}

ResultCode directory_next(Extraction* x, DirectoryEntry* entry_ret, const char** name_ret)
{
    if (x->directory_end - x->directory_cursor < DIRECTORY_ENTRY_SIZE) {
        ResultCode r = load_directory_piece(x, x->directory_buffer);
        if (r < 0)
            return r;
        if (x->directory_end - x->directory_cursor < DIRECTORY_ENTRY_SIZE)
            return ERR_DAMAGED;
    }
    parse_directory_entry(x->directory_cursor, entry_ret);
    x->directory_cursor += DIRECTORY_ENTRY_SIZE;

    // Name and both extra fields must lie in this piece.
    u32 left = (u32)(x->directory_end - x->directory_cursor);
    u32 variable = (u32)entry_ret->name_length + entry_ret->extra_length_1 + entry_ret->extra_length_2;
    if (variable > left)
        return ERR_DAMAGED;
    *name_ret = (const char*)x->directory_cursor;
    x->directory_cursor += variable;
    return 0;
}

// ---------------------------------------------------------------------------
// The command after extraction
// ---------------------------------------------------------------------------

static int is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// The program part is quoted as a whole together with the folder, so a
// folder with blanks ("C:\Program Files\...") cannot be read by Windows as a
// shorter program path with arguments.
u32 build_command_line(char* out, u32 out_size, const char* folder, const char* command)
{
    const char* program = command;
    const char* program_end;
    const char* arguments;
    if (command[0] == '"') {
        program = command + 1;
        program_end = program;
        while (*program_end != 0 && *program_end != '"')
            program_end++;
        arguments = *program_end == '"' ? program_end + 1 : program_end;
    } else {
        program_end = program;
        while (*program_end != 0 && !is_blank(*program_end))
            program_end++;
        arguments = program_end;
    }
    if (program_end == program)
        return 0;  // nothing to run: the folder alone is no program
    for (const char* p = program; p < program_end; p++)
        if (*p == '"')
            return 0;  // cannot be quoted, and no file name holds one

    // "FOLDERPROGRAM" and the arguments, with the terminator.
    u32 folder_length = text_length(folder);
    u32 program_length = (u32)(program_end - program);
    u32 arguments_length = text_length(arguments);
    u32 n = 1 + folder_length + program_length + 1 + arguments_length;
    if (n >= out_size)
        return 0;
    char* p = out;
    *p++ = '"';
    memory_copy(p, folder, folder_length);
    p += folder_length;
    memory_copy(p, program, program_length);
    p += program_length;
    *p++ = '"';
    memory_copy(p, arguments, arguments_length + 1);
    return n;
}

// ---------------------------------------------------------------------------
// The run
// ---------------------------------------------------------------------------

// How one entry ended, for the loop.
enum EntryOutcome {
    ENTRY_NEXT,      // go on with the next entry
    ENTRY_STOP,      // end the run without the command
};

// Shows "Cannot create <path>" with OK and Cancel; OK goes on.
static EntryOutcome refuse_creation(Extraction* x)
{
    return report_error(x, ERR_CREATE, x->dest_path, REPORT_CAN_CONTINUE) ? ENTRY_STOP : ENTRY_NEXT;
}

// "Cannot create" for a name that cannot be used: an unsafe one
// (OS_BAD_PATHNAME, "Invalid path" on the second line) or one too long for
// the path (OS_PATH_TOO_LONG).
static EntryOutcome refuse_name(Extraction* x, u32 error)
{
    LastError = error;
    return refuse_creation(x);
}

// Creates a new temporary file in the folder of the target at dest_path,
// named in temp_path: "~dx0000" and a digit or letter, ".tmp", in 8.3 form
// whatever the volume takes. Where the folder leaves less room than that, the
// name is cut shorter (the target's own name fits, so one character does).
static FileHandle create_temporary_in_folder(Extraction* x)
{
    const char* dest_path = x->dest_path;
    u32 name = folder_part_length(dest_path);
    char* temp = x->temp_path;
    memory_copy(temp, dest_path, name);
    char* p = temp + name;
    *p = 0;
    // The room is counted in characters (UTF-16 units), the copy in bytes.
    u32 length = PATH_CHARS_MAX - utf16_length(temp);
    if (length > TEMPORARY_NAME_MAX)
        length = TEMPORARY_NAME_MAX;
    memory_copy(p, "~dx00000.tmp", length);
    p[length] = 0;
    // Names in use are passed over: the digit before the dot counts up.
    char* digit = p + (length < 8 ? length : 8) - 1;
    FileHandle file;
    for (char c = '0';; c++) {
        *digit = c;
        file = file_create_new(temp, ATTR_NORMAL);
        if (file != INVALID_FILE || LastError != OS_FILE_EXISTS || c == 'z')
            return file;
    }
}

// Creates the temporary file for the target at dest_path, making the
// target's missing parent folders when the first attempt fails (a member
// whose folder has no entry of its own).
static FileHandle create_temporary(Extraction* x)
{
    char* dest_path = x->dest_path;
    FileHandle file = create_temporary_in_folder(x);
    if (file != INVALID_FILE || LastError == OS_FILE_EXISTS)
        return file;
    u32 cut = folder_part_length(dest_path);
    if (cut < 2)
        return INVALID_FILE;  // no backslash after the first character
    dest_path[cut - 1] = 0;
    int made = create_folder_path(dest_path);
    dest_path[cut - 1] = '\\';
    if (!made)
        return INVALID_FILE;  // LastError names the folder's failure
    return create_temporary_in_folder(x);
}

// Asks whether the file at dest_path is to be replaced (the run has not
// been told to replace every one); "Yes To All" asks no more. Returns 1 when
// it is kept, and otherwise sets replace.
static int keep_existing(Extraction* x, u32* replace)
{
    int answer = extraction_ask_overwrite(x);
    if (answer == ANSWER_YES_TO_ALL)
        run_flags(x)->overwrite_all = 1;
    *replace = 1;
    return answer == ANSWER_NO;
}

// Produces one file or folder entry whose name is already at dest_path.
//
// A file is written under a temporary name beside its target and renamed over
// it only once it is whole and has passed its CRC-32 check: a member that
// fails, is cancelled or is interrupted leaves a file that was there before
// as it was, and no partial file.
static EntryOutcome extract_entry(Extraction* x, const DirectoryEntry* entry, const char* name_text)
{
    char* dest_path = x->dest_path;
    if (entry->entry_flags & ENTRY_FOLDER) {
        if (!create_folder_path(dest_path)) {
            report_error(x, ERR_CREATE_FOLDER, dest_path, REPORT_RUN_STOPS);
            return ENTRY_STOP;
        }
        path_set_attributes(dest_path, entry->attributes & (ATTR_READONLY | ATTR_HIDDEN | ATTR_SYSTEM));
        return ENTRY_NEXT;
    }

    // The question comes before the data for a file that is there already;
    // one that appears while the member is written is met by the rename,
    // which replaces nothing the user did not agree to lose.
    u32 replace = run_flags(x)->overwrite_all;
    if (!replace) {
        i32 attributes = path_get_attributes(dest_path);
        if (attributes != -1) {
            // A folder is no file to ask about: the replacing rename fails
            // on it, and the member cannot be created.
            if ((attributes & ATTR_DIRECTORY) == 0 && keep_existing(x, &replace))
                return ENTRY_NEXT;
            replace = 1;
        }
    }

    extraction_progress(x, name_text);

    FileHandle file = create_temporary(x);
    if (file == INVALID_FILE)
        return refuse_creation(x);

    extraction_pump(x);
    Decoder* d = x->decoder;
    // A Cancel handled in the pump ends the member before its data, also
    // when its bytes are decoded already and would be completed without a
    // check of the flag: nothing of it takes the place of a file that was
    // there.
    ResultCode result = run_flags(x)->cancel_flag
                            ? ERR_CANCELLED
                            : output_member(d, file, entry->stream_offset, entry->member_offset,
                                            entry->member_size, entry->entry_flags);
    if (result >= 0)
        file_set_times(file, entry->create_date, entry->create_time, entry->write_date, entry->write_time);
    // A close that fails may have lost written bytes (a network drive
    // writes them then).
    if (!file_close(file) && result >= 0)
        result = ERR_WRITE;
    if (result < 0) {
        report_error(x, result, dest_path, REPORT_RUN_STOPS);
        path_delete(x->temp_path);
        return ENTRY_STOP;
    }
    if (d->running_crc != entry->member_crc) {
        // Deleted before the question, so no damaged file stays behind
        // whatever the answer.
        path_delete(x->temp_path);
        return report_error(x, ERR_CRC, dest_path, REPORT_CAN_CONTINUE) ? ENTRY_STOP : ENTRY_NEXT;
    }
    // Without the user's yes the rename replaces nothing: a file that
    // appeared meanwhile (ERROR_ALREADY_EXISTS) meets the question now.
    while (!path_move(x->temp_path, dest_path, replace)) {
        EntryOutcome outcome = ENTRY_NEXT;
        if (replace || LastError != OS_ALREADY_EXISTS)
            outcome = refuse_creation(x);
        else if (!keep_existing(x, &replace))
            continue;
        path_delete(x->temp_path);
        return outcome;
    }
    path_set_attributes(dest_path, entry->attributes & (ATTR_READONLY | ATTR_HIDDEN | ATTR_SYSTEM));
    return ENTRY_NEXT;
}

// The host tool may extract chosen members only; the stub takes every entry.
static int entry_wanted(Extraction* x, const DirectoryEntry* entry, const char* name)
{
#ifdef DRAVEX_STUB_BUILD
    (void)x;
    (void)entry;
    (void)name;
    return 1;
#else
    return extraction_wants(x, entry, name);
#endif
}

// What walk_directory returns when an entry ended the run without the
// command.
enum { WALK_STOPPED = 1 };

// The directory walk from its first piece. Returns 0, a directory failure,
// or WALK_STOPPED when an entry ended the run without the command (Cancel
// after a message, a folder that cannot be made, a member that cannot be
// produced). Counting, it only adds up the files and their sizes for the
// progress display (one walk for both keeps the directory reader in one
// place).
static ResultCode walk_directory(Extraction* x, const char* folder, u32 name_position, u32 short_position,
                                 i32 name_room, int counting)
{
    char* dest_path = x->dest_path;
    directory_begin(x, x->decoder);
    for (; x->entries_left != 0 && run_flags(x)->cancel_flag == 0; x->entries_left--) {
        DirectoryEntry entry;
        const char* name;
        ResultCode r = directory_next(x, &entry, &name);
        if (r < 0)
            return r;
        // Every file counts one unit and one for each whole KB, so that the
        // bar moves for small files too and a u32 holds the sum.
        u32 units = (entry.entry_flags & ENTRY_FOLDER) ? 0 : 1 + (entry.member_size >> 10);
        if (counting) {
            x->files_total += units != 0;
            x->units_total += units;
            if (units != 0)
                x->space_needed += entry.member_size;
            continue;
        }
        x->files_reached += units != 0;

        EntryOutcome outcome = ENTRY_NEXT;
        // Every entry starts from the folder as the user gave it; the
        // previous entry's 8.3 conversion may have rewritten it. A name that
        // does not fit is shown cut to the room there is.
        memory_copy(dest_path, folder, name_position);
        i32 length = entry_target_name(&entry, name, dest_path + name_position, name_room < 0 ? 0 : (u32)name_room);
        if (entry_wanted(x, &entry, dest_path + name_position)) {
            if (length < 0) {
                outcome = refuse_name(x, OS_PATH_TOO_LONG);
            } else if (!entry_name_is_safe(name, entry.name_length)) {
                // An exact name is used only when the stored one is safe too.
                outcome = refuse_name(x, OS_BAD_PATHNAME);
            } else {
                make_short_path(dest_path, run_flags(x)->short_names);
                // The conversion may have joined a harmless name into a
                // device name ("C O N" gives "CON"): check what is used.
                const char* name_text = dest_path + short_position;
                if (!entry_name_is_safe(name_text, text_length(name_text)))
                    outcome = refuse_name(x, OS_BAD_PATHNAME);
                else
                    outcome = extract_entry(x, &entry, name_text);
            }
        }
        if (outcome == ENTRY_STOP)
            return WALK_STOPPED;
        x->units_done += units;
        extraction_pump(x);
    }
    // A cut piece that still held every entry left: damage all the same.
    return x->entries_left == 0 && x->directory_cut ? ERR_DAMAGED : 0;
}

ResultCode extract_all(Extraction* x, Decoder* d)
{
    if (x->running)
        return 0;
    x->running = 1;
    x->decoder = d;
    char* dest_path = x->dest_path;

    // 1. The folder, without one trailing backslash ("X:\" becomes "X:").
    u32 folder_length = text_length(dest_path);
    if (folder_length >= 2 && dest_path[folder_length - 1] == '\\')
        dest_path[--folder_length] = 0;

    // 2. Does the destination volume take only 8.3 names?
    char drive = 0;
    if (folder_length >= 2 && dest_path[1] == ':') {
        drive = dest_path[0];
    } else {
        current_directory(x->message, sizeof x->message);  // empty when there is none
        drive = x->message[0];
    }
    run_flags(x)->short_names = drive != 0 && extraction_short_names(x, drive) ? 1 : 0;

    ResultCode result = 0;
    int stopped = 0;
    char folder[PATH_BUFFER_SIZE];
    u32 name_position = 0;
    u32 short_position = 0;
    i32 name_room = 0;

    // 3. Room for the archive header.
    i32 file_length = file_seek(x->file, 0, SEEK_FROM_END);
    if (file_length < 0) {
        result = ERR_SEEK;
        goto done;
    }
    if ((u32)file_length - (u32)*run_archive_start(x) < ARCHIVE_HEADER_BYTES) {
        result = ERR_DAMAGED;
        goto done;
    }

    // 4. Buffers.
    {
        u8* input_buffer = (u8*)mem_alloc(INPUT_BUFFER_SIZE);
        if (input_buffer == 0) {
            result = ERR_NO_MEMORY;
            goto done;
        }
        decoder_begin(d, x->file, *run_archive_start(x), input_buffer);
    }

    // 5. Name position (in bytes) and room (in characters). A folder that
    // already ends in a separator (a lone backslash, the root of the current
    // drive) takes no second one, which would turn the names into server
    // paths. Three bytes of the buffer are left for each character of room.
    name_position = folder_length;
    if (folder_length > 0 && dest_path[folder_length - 1] != ':' && dest_path[folder_length - 1] != '\\') {
        if (folder_length < PATH_BYTES_MAX)
            dest_path[name_position++] = '\\';
        else
            name_position = PATH_BYTES_MAX + 1;  // a full folder leaves no room
    }
    name_room = -1;
    if (name_position <= PATH_BYTES_MAX) {
        dest_path[name_position] = 0;
        name_room = PATH_CHARS_MAX - (i32)utf16_length(dest_path);
    }
    if (name_room < 0)
        name_position = folder_length;
    text_copy(folder, sizeof folder, dest_path);
    // Where the names start once make_short_path has converted the folder
    // part too: the folder's components convert alike whatever follows.
    make_short_path(dest_path, run_flags(x)->short_names);
    short_position = text_length(dest_path);
    text_copy(dest_path, PATH_BUFFER_SIZE, folder);

    // 6. The directory starts empty, at its first piece: once to count
    // for the progress display (a damaged directory is left to the walk
    // proper to report), then for the entries.
    x->files_total = x->files_reached = 0;
    x->units_total = x->units_done = 0;
    x->space_needed = 0;
    walk_directory(x, folder, name_position, short_position, name_room, 1);

    // 7. The free space of the destination's volume, before anything is made
    // there: a run that cannot fit (say, entries that all claim one large
    // member's data) is refused whole rather than ended by a full disk.
#ifndef DRAVEX_STUB_BUILD
    if (!x->no_space_check)
#endif
    {
        x->space_free = volume_free_bytes(folder);
        if (x->space_needed > x->space_free) {
            result = ERR_NO_SPACE;
            goto done;
        }
    }

    // 8. The destination folder. A file in its place is refused here, before
    // anything is written, rather than in every member. The user may then
    // choose another folder: nothing was written.
    dest_path[folder_length] = 0;
    if (folder_length > 0 && dest_path[folder_length - 1] != ':') {
        i32 attributes = create_folder_path(dest_path) ? path_get_attributes(dest_path) : 0;
        if ((attributes & ATTR_DIRECTORY) == 0) {
            if (attributes != 0)
                LastError = OS_FILE_EXISTS;  // a file: the folder was not made
            report_error(x, ERR_CREATE_DESTINATION, dest_path, REPORT_FINAL);
            result = EXTRACT_NOTHING_WRITTEN;
            goto done;
        }
    }

    // 9. The entries.
    result = walk_directory(x, folder, name_position, short_position, name_room, 0);
    stopped = result == WALK_STOPPED;
    if (stopped || result == ERR_CANCELLED)
        result = 0;  // nothing more to show

    // 10. The command, addressed inside the (converted) destination folder.
    // A folder too long to hold a name cannot hold the program either.
    if (!stopped && x->command[0] != 0 && name_room >= 0) {
        memory_copy(dest_path, folder, name_position);
        dest_path[name_position] = 0;
        make_short_path(dest_path, run_flags(x)->short_names);
        if (build_command_line(x->command_line, sizeof x->command_line, dest_path, x->command) > 0)
            extraction_run_command(x, x->command_line);
    }
    text_copy(dest_path, PATH_BUFFER_SIZE, folder);

done:
    // 11. Every way out releases what this run allocated.
    if (d->input.buffer != 0) {
        history_release(d);
        mem_free(d->input.buffer);
        d->input.buffer = 0;
    }
    // Leave the folder in dest_path, as the caller gave it.
    dest_path[folder_length] = 0;
    x->running = 0;
    return result;
}
