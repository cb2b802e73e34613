// The host's side of the extraction: the driver's front-end functions,
// answered by the Run that owns the Extraction.
#include "host/run.h"

#include "platform/host.h"
#include "platform/text.h"

namespace host {

Run::Run()
{
    x.flags = &flags;
    x.title = title;
    x.context = this;
    x.file = INVALID_FILE;
    text_copy(title, sizeof title, initial_title);
}

static Run& run_of(Extraction* x) { return *static_cast<Run*>(x->context); }

}  // namespace host

int extraction_message(Extraction* x, ResultCode code, const char* text, u32 style)
{
    host::Run& run = host::run_of(x);
    run.messages.push_back({text, x->title, style, code});
    if (run.hooks.message_box)
        return run.hooks.message_box(code, text, style);
    return BOX_ANSWER_OK;
}

void extraction_progress(Extraction* x, const char* name)
{
    host::Run& run = host::run_of(x);
    if (run.hooks.progress)
        run.hooks.progress(name);
}

int extraction_ask_overwrite(Extraction* x)
{
    host::Run& run = host::run_of(x);
    if (run.hooks.ask_overwrite)
        return run.hooks.ask_overwrite(host::path_to_host(x->dest_path));
    return ANSWER_NO;
}

void extraction_pump(Extraction* x)
{
    host::Run& run = host::run_of(x);
    if (run.hooks.pump)
        run.hooks.pump();
}

void extraction_run_command(Extraction* x, const char* command_line)
{
    host::Run& run = host::run_of(x);
    run.commands.push_back(command_line);
    if (run.hooks.run_command)
        run.hooks.run_command(command_line);
}

int extraction_short_names(Extraction* x, char drive_letter)
{
    (void)drive_letter;
    return host::run_of(x).hooks.short_names;
}

int extraction_wants(Extraction* x, const DirectoryEntry* entry, const char* name)
{
    host::Run& run = host::run_of(x);
    if (!run.hooks.wants)
        return 1;
    return run.hooks.wants(std::string(name), (entry->entry_flags & ENTRY_FOLDER) != 0) ? 1 : 0;
}
