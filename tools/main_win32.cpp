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
    // The tool writes UTF-8; a console shows it as such while its output
    // code page is UTF-8, and gets its own page back at the end.
    g_console_output_page = GetConsoleOutputCP();
    if (g_console_output_page != 0 && g_console_output_page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        atexit(restore_console_output_page);
    else
        g_console_output_page = 0;
    return qvx_main(argc, argp.data());
}
#endif
