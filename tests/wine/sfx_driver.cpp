// Windows test driver for the self-extractor: runs under Wine, starts a
// self-extractor, finds its dialogs and message boxes, reads and sets their
// controls, presses buttons, and checks the exit code, following a small
// command script so that one driver serves every scenario.
//
//   sfx_driver SCRIPT
//
// One command per line; words are separated by blanks, "quoted words" may
// hold blanks and the escapes \n \" \\. Lines starting with # are comments.
//
//   start EXE [ARG...]      start the self-extractor (current directory kept)
//   start_raw EXE LINE      ... with LINE after its quoted name, unquoted
//   find TITLE ID           wait for a dialog of the child titled TITLE that
//                           has a control ID (65535: a message box's text);
//                           it becomes the current window
//   absent TITLE ID MS      no such dialog appears within MS milliseconds
//   gone                    wait until the current window is destroyed
//   text ID EXPECTED        control ID of the current window holds EXPECTED
//   prefix ID EXPECTED      ... begins with EXPECTED
//   wait_prefix ID EXPECTED wait until it begins with EXPECTED
//   wait_contains ID PART   wait until it holds PART
//   caption EXPECTED        the current window's caption
//   checked ID 0|1          state of a check box
//   style MASK              the current window has every style bit of MASK
//                           (hexadecimal)
//   instance BASE           the current window belongs to a module loaded at
//                           BASE (hexadecimal): where the stub's image lies
//   enabled ID 0|1          whether control ID (0: the current window itself)
//                           is enabled
//   bar ID POS MAX          a progress bar's position and upper limit
//   focus ID                control ID of the current window has the focus
//   wait_focus ID           wait until it has
//   selected ID START END   an edit control's selection
//   visible ID CHAR         character CHAR (-1: the last) of an edit control
//                           is shown within it
//   centred                 the current window is centred on its owner (or,
//                           without one, on the work area)
//   set ID TEXT             set a control's text
//   check ID 0|1            tick or clear a check box
//   click ID                press a button (posted, so a long command does
//                           not block the driver)
//   enter ID                press Enter in control ID
//   key ID VK               press virtual key VK (a number) in control ID
//   alt ID LETTER           press Alt+LETTER in control ID
//   type VK [VK...]         real key strokes to the current window (brought
//                           to the front): keys held in order, released in
//                           reverse (18 = Alt)
//   close                   the close box (WM_SYSCOMMAND SC_CLOSE)
//   exit CODE               wait for the child to end; compare its exit code
//   sleep MS
//   unix COMMAND...         run a host program (screenshots) and wait for it
//
// Every step is printed; the first failure prints FAIL, ends the child and
// exits with 1. The script is UTF-8; texts are read and set as Unicode.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <commctrl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Generous: Wine's first window can be slow, and on a build machine shared
// by several test runs (a load of ten and more) a dialog was seen to take
// longer than 30 s to appear, which made the later scenarios of a long run
// fail to find their windows.
const DWORD kTimeout = 90000;
const DWORD kPoll = 50;

PROCESS_INFORMATION child = {};
HWND current = nullptr;
int line_number = 0;

[[noreturn]] void fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::printf("FAIL line %d: ", line_number);
    std::vprintf(format, args);
    std::printf("\n");
    va_end(args);
    std::fflush(stdout);
    if (child.hProcess != nullptr)
        TerminateProcess(child.hProcess, 99);
    std::exit(1);
}

std::string quote_for_log(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\"";
}

std::vector<std::string> split(const std::string& line)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            i++;
        if (i >= line.size())
            break;
        std::string word;
        if (line[i] == '"') {
            i++;
            while (i < line.size() && line[i] != '"') {
                if (line[i] == '\\' && i + 1 < line.size()) {
                    char e = line[++i];
                    word += e == 'n' ? '\n' : e;
                } else {
                    word += line[i];
                }
                i++;
            }
            i++;  // closing quote
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
                word += line[i++];
        }
        words.push_back(word);
    }
    return words;
}

std::wstring wide(const std::string& utf8)
{
    std::wstring out(utf8.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &out[0], (int)out.size());
    out.resize(n > 0 ? n : 0);
    return out;
}

std::string utf8(const wchar_t* text, size_t count)
{
    std::string out(count * 3 + 1, '\0');
    int n = WideCharToMultiByte(CP_UTF8, 0, text, (int)count, &out[0], (int)out.size(), nullptr, nullptr);
    out.resize(n > 0 ? n : 0);
    return out;
}

std::string window_text(HWND w)
{
    wchar_t buffer[2048];
    int n = GetWindowTextW(w, buffer, 2048);
    return utf8(buffer, n > 0 ? n : 0);
}

// GetWindowText reads only the caption Windows keeps for a control of
// another process, which an edit control never updates; WM_GETTEXT asks the
// control itself.
std::string control_text(int id)
{
    HWND control = GetDlgItem(current, id);
    if (control == nullptr)
        fail("no control %d in the current window", id);
    wchar_t buffer[2048];
    DWORD_PTR n = 0;
    // Not SMTO_ABORTIFHUNG: a stub that has not fetched a message for a few
    // seconds counts as hung, and the PE32 stub under qemu can be that slow
    // to set up its first dialog.
    if (!SendMessageTimeoutW(control, WM_GETTEXT, 2048, (LPARAM)buffer, SMTO_NORMAL, kTimeout, &n))
        fail("control %d does not answer", id);
    return utf8(buffer, n);
}

struct Search {
    std::string title;
    int id;
    HWND found;
};

BOOL CALLBACK match_window(HWND w, LPARAM param)
{
    Search* s = (Search*)param;
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid != child.dwProcessId || !IsWindowVisible(w))
        return TRUE;
    char cls[64];
    GetClassNameA(w, cls, sizeof cls);
    if (std::string(cls) != "#32770" || window_text(w) != s->title)
        return TRUE;
    if (GetDlgItem(w, s->id) == nullptr)
        return TRUE;
    s->found = w;
    return FALSE;
}

HWND find_dialog(const std::string& title, int id)
{
    Search s = {title, id, nullptr};
    EnumWindows(match_window, (LPARAM)&s);
    return s.found;
}

bool child_running()
{
    return child.hProcess != nullptr && WaitForSingleObject(child.hProcess, 0) == WAIT_TIMEOUT;
}

void need(const std::vector<std::string>& w, size_t n)
{
    if (w.size() < n)
        fail("%s needs %zu arguments", w[0].c_str(), n - 1);
}

void start(const std::vector<std::string>& w, bool raw)
{
    std::string command;
    for (size_t i = 1; i < w.size(); i++) {
        if (i > 1)
            command += ' ';
        command += raw && i > 1 ? w[i] : "\"" + w[i] + "\"";
    }
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    std::wstring line = wide(command);
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &child))
        fail("cannot start %s (error %lu)", command.c_str(), GetLastError());
}

void run_unix(const std::vector<std::string>& w)
{
    // Wine starts a Unix program when it is named by its Unix path through
    // the Z: drive.
    std::string command;
    for (size_t i = 1; i < w.size(); i++) {
        if (i > 1)
            command += ' ';
        command += w[i];
    }
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::vector<char> line(command.begin(), command.end());
    line.push_back(0);
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::printf("  (could not run %s: error %lu)\n", command.c_str(), GetLastError());
        return;
    }
    WaitForSingleObject(pi.hProcess, kTimeout);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
}

void execute(const std::vector<std::string>& w)
{
    const std::string& op = w[0];
    if (op == "start" || op == "start_raw") {
        need(w, 2);
        start(w, op == "start_raw");
    } else if (op == "find") {
        need(w, 3);
        int id = std::atoi(w[2].c_str());
        for (DWORD waited = 0;; waited += kPoll) {
            current = find_dialog(w[1], id);
            if (current != nullptr)
                break;
            if (waited >= kTimeout || !child_running()) {
                // Which of the two: a program that ended (how) or one too
                // slow to show its window (a loaded machine).
                DWORD code = 0;
                if (!child_running() && GetExitCodeProcess(child.hProcess, &code))
                    fail("no window %s with control %d: the program ended with exit code %lu",
                         quote_for_log(w[1]).c_str(), id, code);
                fail("no window %s with control %d after %lu s", quote_for_log(w[1]).c_str(), id,
                     waited / 1000);
            }
            Sleep(kPoll);
        }
    } else if (op == "absent") {
        need(w, 4);
        int id = std::atoi(w[2].c_str());
        DWORD limit = (DWORD)std::atoi(w[3].c_str());
        for (DWORD waited = 0; waited < limit && child_running(); waited += kPoll) {
            if (find_dialog(w[1], id) != nullptr)
                fail("window %s with control %d appeared", quote_for_log(w[1]).c_str(), id);
            Sleep(kPoll);
        }
    } else if (op == "gone") {
        for (DWORD waited = 0; IsWindow(current); waited += kPoll) {
            if (waited >= kTimeout)
                fail("the current window stays");
            Sleep(kPoll);
        }
    } else if (op == "text" || op == "prefix") {
        need(w, 3);
        std::string actual = control_text(std::atoi(w[1].c_str()));
        bool ok = op == "text" ? actual == w[2] : actual.compare(0, w[2].size(), w[2]) == 0;
        if (!ok)
            fail("control %s holds %s, expected %s%s", w[1].c_str(), quote_for_log(actual).c_str(),
                 quote_for_log(w[2]).c_str(), op == "prefix" ? "..." : "");
    } else if (op == "wait_prefix" || op == "wait_contains") {
        need(w, 3);
        for (DWORD waited = 0;; waited += kPoll) {
            std::string actual = control_text(std::atoi(w[1].c_str()));
            if (op == "wait_prefix" ? actual.compare(0, w[2].size(), w[2]) == 0
                                    : actual.find(w[2]) != std::string::npos)
                break;
            if (waited >= kTimeout)
                fail("control %s holds %s, never %s...", w[1].c_str(), quote_for_log(actual).c_str(),
                     quote_for_log(w[2]).c_str());
            Sleep(10);
        }
    } else if (op == "caption") {
        need(w, 2);
        std::string actual = window_text(current);
        if (actual != w[1])
            fail("caption %s, expected %s", quote_for_log(actual).c_str(), quote_for_log(w[1]).c_str());
    } else if (op == "checked") {
        need(w, 3);
        UINT state = IsDlgButtonChecked(current, std::atoi(w[1].c_str()));
        if ((int)state != std::atoi(w[2].c_str()))
            fail("check box %s is %u", w[1].c_str(), state);
    } else if (op == "style") {
        need(w, 2);
        LONG mask = (LONG)std::strtoul(w[1].c_str(), nullptr, 16);
        LONG style = GetWindowLongA(current, GWL_STYLE);
        if ((style & mask) != mask)
            fail("style %08lx lacks %08lx", (unsigned long)style, (unsigned long)mask);
    } else if (op == "instance") {
        need(w, 2);
        unsigned long long base = std::strtoull(w[1].c_str(), nullptr, 16);
        unsigned long long actual = (ULONG_PTR)GetWindowLongPtrW(current, GWLP_HINSTANCE);
        if (actual != base)
            fail("module at %llx, expected %llx", actual, base);
    } else if (op == "enabled") {
        need(w, 3);
        int id = std::atoi(w[1].c_str());
        HWND control = id == 0 ? current : GetDlgItem(current, id);
        if (control == nullptr)
            fail("no control %s", w[1].c_str());
        if ((IsWindowEnabled(control) ? 1 : 0) != std::atoi(w[2].c_str()))
            fail("control %s is %s", w[1].c_str(), IsWindowEnabled(control) ? "enabled" : "disabled");
    } else if (op == "bar") {
        need(w, 4);
        HWND control = GetDlgItem(current, std::atoi(w[1].c_str()));
        if (control == nullptr)
            fail("no control %s", w[1].c_str());
        // Plain numbers, no pointers: these can be asked across processes.
        LRESULT position = SendMessageA(control, PBM_GETPOS, 0, 0);
        LRESULT limit = SendMessageA(control, PBM_GETRANGE, FALSE, 0);
        if (position != std::atol(w[2].c_str()) || limit != std::atol(w[3].c_str()))
            fail("bar %s at %ld of %ld, expected %s of %s", w[1].c_str(), (long)position, (long)limit,
                 w[2].c_str(), w[3].c_str());
    } else if (op == "focus" || op == "wait_focus") {
        // wait_focus: until the focus comes to control ID.
        need(w, 2);
        for (DWORD waited = 0;; waited += kPoll) {
            // The focus belongs to the child's thread: ask that thread.
            GUITHREADINFO info = {};
            info.cbSize = sizeof info;
            if (!GetGUIThreadInfo(GetWindowThreadProcessId(current, nullptr), &info))
                fail("cannot ask for the focus (error %lu)", GetLastError());
            int id = info.hwndFocus != nullptr ? GetDlgCtrlID(info.hwndFocus) : 0;
            if (GetParent(info.hwndFocus) == current && id == std::atoi(w[1].c_str()))
                break;
            if (op == "focus" || waited >= kTimeout)
                fail("the focus is on control %d, not on %s", id, w[1].c_str());
            Sleep(kPoll);
        }
    } else if (op == "selected") {
        need(w, 4);
        HWND control = GetDlgItem(current, std::atoi(w[1].c_str()));
        if (control == nullptr)
            fail("no control %s", w[1].c_str());
        DWORD range = (DWORD)SendMessageA(control, EM_GETSEL, 0, 0);
        if ((int)LOWORD(range) != std::atoi(w[2].c_str()) || (int)HIWORD(range) != std::atoi(w[3].c_str()))
            fail("selection %u to %u, expected %s to %s", LOWORD(range), HIWORD(range), w[2].c_str(), w[3].c_str());
    } else if (op == "visible") {
        // The character (-1: the last) of an edit control lies inside it,
        // a whole line high: the text there is shown, not scrolled away.
        need(w, 3);
        HWND control = GetDlgItem(current, std::atoi(w[1].c_str()));
        if (control == nullptr)
            fail("no control %s", w[1].c_str());
        int at = std::atoi(w[2].c_str());
        if (at < 0)
            at = (int)SendMessageW(control, WM_GETTEXTLENGTH, 0, 0) - 1;
        LRESULT pos = SendMessageW(control, EM_POSFROMCHAR, (WPARAM)at, 0);
        int x = (short)LOWORD(pos), y = (short)HIWORD(pos);
        RECT client;
        GetClientRect(control, &client);
        HDC dc = GetDC(control);
        HGDIOBJ old = SelectObject(dc, (HGDIOBJ)SendMessageW(control, WM_GETFONT, 0, 0));
        TEXTMETRICW metrics;
        GetTextMetricsW(dc, &metrics);
        SelectObject(dc, old);
        ReleaseDC(control, dc);
        if (pos == -1 || x < 0 || x >= client.right || y < 0 || y + metrics.tmHeight > client.bottom)
            fail("character %d of control %s is at %d,%d, outside %ldx%ld (line height %ld)", at, w[1].c_str(), x,
                 y, client.right, client.bottom, metrics.tmHeight);
    } else if (op == "centred") {
        // The current window's centre is that of its owner, or of the work
        // area when it has none, within a few pixels.
        need(w, 1);
        RECT r, around;
        GetWindowRect(current, &r);
        HWND owner = GetWindow(current, GW_OWNER);
        if (owner != nullptr)
            GetWindowRect(owner, &around);
        else
            SystemParametersInfoW(SPI_GETWORKAREA, 0, &around, 0);
        long dx = (r.left + r.right) / 2 - (around.left + around.right) / 2;
        long dy = (r.top + r.bottom) / 2 - (around.top + around.bottom) / 2;
        if (dx < -8 || dx > 8 || dy < -8 || dy > 8)
            fail("window %ld,%ld-%ld,%ld is not centred on %s %ld,%ld-%ld,%ld", r.left, r.top, r.right, r.bottom,
                 owner ? "its owner" : "the work area", around.left, around.top, around.right, around.bottom);
    } else if (op == "set") {
        need(w, 3);
        if (!SetDlgItemTextW(current, std::atoi(w[1].c_str()), wide(w[2]).c_str()))
            fail("cannot set control %s", w[1].c_str());
    } else if (op == "check") {
        need(w, 3);
        SendDlgItemMessageA(current, std::atoi(w[1].c_str()), BM_SETCHECK,
                            std::atoi(w[2].c_str()) ? BST_CHECKED : BST_UNCHECKED, 0);
    } else if (op == "click") {
        need(w, 2);
        int id = std::atoi(w[1].c_str());
        PostMessageA(current, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(current, id));
    } else if (op == "enter") {
        need(w, 2);
        HWND control = GetDlgItem(current, std::atoi(w[1].c_str()));
        if (control == nullptr)
            fail("no control %s", w[1].c_str());
        PostMessageA(control, WM_KEYDOWN, VK_RETURN, 1);
        PostMessageA(control, WM_KEYUP, VK_RETURN, 0xC0000001);
    } else if (op == "key") {
        need(w, 3);
        HWND control = GetDlgItem(current, std::atoi(w[1].c_str()));
        if (control == nullptr)
            fail("no control %s", w[1].c_str());
        WPARAM vk = (WPARAM)std::atoi(w[2].c_str());
        PostMessageA(control, WM_KEYDOWN, vk, 1);
        PostMessageA(control, WM_KEYUP, vk, 0xC0000001);
    } else if (op == "alt") {
        need(w, 3);
        HWND control = GetDlgItem(current, std::atoi(w[1].c_str()));
        if (control == nullptr)
            fail("no control %s", w[1].c_str());
        // What TranslateMessage makes of Alt+letter: a system character
        // with the Alt bit (29) set.
        PostMessageA(control, WM_SYSCHAR, (WPARAM)(unsigned char)w[2][0], 0x20000001);
    } else if (op == "type") {
        need(w, 2);
        // Some keys exist only as real input: F1 becomes WM_HELP on its
        // way through the input system, not from a posted WM_KEYDOWN.
        SetForegroundWindow(current);
        Sleep(200);
        std::vector<INPUT> inputs;
        for (size_t i = 1; i < w.size(); i++) {
            INPUT in = {};
            in.type = INPUT_KEYBOARD;
            in.ki.wVk = (WORD)std::atoi(w[i].c_str());
            inputs.push_back(in);
        }
        for (size_t i = w.size() - 1; i >= 1; i--) {
            INPUT in = inputs[i - 1];
            in.ki.dwFlags = KEYEVENTF_KEYUP;
            inputs.push_back(in);
        }
        if (SendInput((UINT)inputs.size(), inputs.data(), sizeof(INPUT)) != inputs.size())
            fail("cannot send the keys (error %lu)", GetLastError());
    } else if (op == "close") {
        PostMessageA(current, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (op == "exit") {
        need(w, 2);
        if (child.hProcess == nullptr)
            fail("nothing started");
        if (WaitForSingleObject(child.hProcess, kTimeout) != WAIT_OBJECT_0)
            fail("the self-extractor does not end");
        DWORD code = 0;
        GetExitCodeProcess(child.hProcess, &code);
        if ((int)code != std::atoi(w[1].c_str()))
            fail("exit code %lu, expected %s", code, w[1].c_str());
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
        child = {};
    } else if (op == "sleep") {
        need(w, 2);
        Sleep((DWORD)std::atoi(w[1].c_str()));
    } else if (op == "unix") {
        need(w, 2);
        run_unix(w);
    } else {
        fail("unknown command %s", op.c_str());
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: sfx_driver SCRIPT\n");
        return 2;
    }
    FILE* f = std::fopen(argv[1], "rb");
    if (f == nullptr) {
        std::fprintf(stderr, "sfx_driver: cannot open %s\n", argv[1]);
        return 2;
    }
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, f) != nullptr) {
        line_number++;
        std::string line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        std::vector<std::string> words = split(line);
        if (words.empty() || words[0][0] == '#')
            continue;
        std::printf("%d: %s\n", line_number, line.c_str());
        std::fflush(stdout);
        execute(words);
    }
    std::fclose(f);
    if (child_running())
        fail("the script ended while the self-extractor still runs");
    std::printf("PASS\n");
    return 0;
}
