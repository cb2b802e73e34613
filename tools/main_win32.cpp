// qvx.exe's entry point: Windows passes the arguments as UTF-16 (wmain);
// the tool takes them as UTF-8, like every name inside it.
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/host.h"

int qvx_main(int argc, char** argv);

static UINT g_console_output_page = 0;

static void restore_console_output_page()
{
    if (g_console_output_page != 0)
        SetConsoleOutputCP(g_console_output_page);
}

int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> args;
    for (int i = 0; i < argc; i++)
        args.push_back(host::wide_to_utf8(argv[i]));
    std::vector<char*> argp;
    for (std::string& a : args)
        argp.push_back(&a[0]);
    argp.push_back(nullptr);
    // The tool's own lines reach a console through WriteConsoleW
    // (host::write_text); what a library prints itself (the command line's
    // usage and errors) is UTF-8 too, shown as such while the console's
    // output code page is UTF-8, which it gets back at the end.
    g_console_output_page = GetConsoleOutputCP();
    if (g_console_output_page != 0 && g_console_output_page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        atexit(restore_console_output_page);
    else
        g_console_output_page = 0;
    return qvx_main(argc, argp.data());
}
#endif
