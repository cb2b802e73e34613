// The command a Wine scenario's self-extractor runs after extraction: writes
// its own command line and then its working folder ("cwd=...") into ran.txt
// beside itself, so the test sees that it ran, from where, with which
// arguments and in which folder. With "exit=N" among its arguments it ends
// with exit code N.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    char* slash = std::strrchr(path, '\\');
    if (n == 0 || slash == nullptr || (size_t)(slash + 8 - path) >= sizeof path)
        return 1;
    std::strcpy(slash + 1, "ran.txt");
    FILE* f = std::fopen(path, "w");
    if (f == nullptr)
        return 1;
    char folder[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, folder);
    std::fprintf(f, "%s\ncwd=%s\n", GetCommandLineA(), folder);
    std::fclose(f);
    // "exit=N" among the arguments: end with exit code N.
    const char* code = std::strstr(GetCommandLineA(), "exit=");
    return code != nullptr ? std::atoi(code + 5) : 0;
}
