/* A host application of Unspool.dll, run under Wine by scripts/test-dll. It loads the
 * DLL, finds Unspools by name and calls it through a stdcall pointer, the way hosts
 * written in other languages do, while a second thread plays the user: it finds the
 * progress window by its class, checks its owner, closes it, and answers the overwrite
 * dialog by pressing its buttons.
 *
 *   unspool_host <dll-dir> <work-dir> cases     the table of calls below
 *   unspool_host <dll-dir> <work-dir> gbk       a GBK-named archive under code page 936
 *   unspool_host <dll-dir> <work-dir> show ARCHIVE DEST
 *                                               one call that asks, for screenshots
 *
 * Folders are given as Unix paths and reached through Wine's Z: drive. The work folder
 * holds the archives and reference trees (ref-<name>) that the script made. */
#include <windows.h>

#include <commctrl.h>
#include <stdio.h>
#include <string.h>

typedef BOOLEAN(__stdcall* TUnspools)(HWND, const char*, const char*, const char*);

static char work[MAX_PATH];
static int failures;

static void check(int ok, const char* name, const char* what)
{
    printf("%s %s: %s\n", ok ? "ok  " : "FAIL", name, what);
    fflush(stdout);
    if (!ok) ++failures;
}

/* A Unix path as a Windows path on the Z: drive. */
static void zpath(char* out, const char* unix)
{
    snprintf(out, MAX_PATH, "Z:%s", unix);
    for (char* p = out; *p; ++p)
        if (*p == '/') *p = '\\';
}

static void in_work(char* out, const char* rel) { snprintf(out, MAX_PATH, "%s\\%s", work, rel); }

static TUnspools load(const char* dir, const char* dll, const char* export_name)
{
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s\\%s", dir, dll);
    HMODULE m = LoadLibraryA(path);
    if (!m) {
        printf("FAIL cannot load %s (error %lu)\n", path, GetLastError());
        return NULL;
    }
    return (TUnspools)(void*)GetProcAddress(m, export_name);
}

/* ---- files ---- */

static int exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

static int read_file(const char* path, char* buf, DWORD size, DWORD* got)
{
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    const BOOL ok = ReadFile(h, buf, size, got, NULL);
    CloseHandle(h);
    return ok;
}

static void write_file(const char* path, const char* text)
{
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD n;
    WriteFile(h, text, (DWORD)strlen(text), &n, NULL);
    CloseHandle(h);
}

/* ---- what the other thread sees and does during one call ---- */

enum { NONE, CLOSE_NOW, CLOSE_IN_RUN, CLOSE_AFTER_RUN, ANSWER, WAIT_FOR_GO };

typedef struct {
    int driver;
    const char* answers; /* per question: Y N C, y n (with "do not ask again"), X close box */
    const char* dest;    /* destination, for the text of the question */
    HWND host;
    /* observations */
    int found, owner_ok, host_disabled, left_open, shown, unchecked, question_ok, line_shown;
} TSession;

static volatile LONG ticks; /* WM_TIMER messages the progress window received */
static volatile LONG created; /* progress windows created */
static int close_on_tick;      /* post WM_CLOSE as the tick that starts the run arrives */
static volatile LONG questions; /* showings of the overwrite dialog */

static LRESULT CALLBACK on_get_message(int code, WPARAM w, LPARAM l)
{
    const MSG* m = (const MSG*)l;
    char cls[16];
    if (code >= 0 && w == PM_REMOVE && m->message == WM_TIMER &&
        GetClassNameA(m->hwnd, cls, sizeof cls) && strcmp(cls, "Tmain") == 0) {
        InterlockedIncrement(&ticks);
        if (close_on_tick) PostMessageW(m->hwnd, WM_CLOSE, 0, 0);
    }
    return CallNextHookEx(NULL, code, w, l);
}

static LRESULT CALLBACK on_call(int code, WPARAM w, LPARAM l)
{
    const CWPSTRUCT* c = (const CWPSTRUCT*)l;
    char cls[16];
    if (code >= 0 && c->message == WM_SHOWWINDOW && c->wParam &&
        GetClassNameA(c->hwnd, cls, sizeof cls) && strcmp(cls, "TDlg") == 0)
        InterlockedIncrement(&questions);
    return CallNextHookEx(NULL, code, w, l);
}

static LRESULT CALLBACK on_cbt(int code, WPARAM w, LPARAM l)
{
    char cls[16];
    if (code == HCBT_CREATEWND && GetClassNameA((HWND)w, cls, sizeof cls) &&
        strcmp(cls, "Tmain") == 0)
        InterlockedIncrement(&created);
    return CallNextHookEx(NULL, code, w, l);
}

/* Waits up to 20 s for a visible window of the class; NULL when none came. */
static HWND wait_window(const char* cls)
{
    for (int i = 0; i < 1000; ++i) {
        HWND w = FindWindowA(cls, NULL);
        if (w && IsWindowVisible(w)) return w;
        Sleep(20);
    }
    return NULL;
}

/* Whether Label, as it is on screen, shows the question's second line, 已经存在．是否要覆盖？,
 * whole: the block of pixels that line covers when drawn on one line in the label's font,
 * red on the dialog's face, is found somewhere in the label. Painting is waited for. */
static int question_line_drawn(HWND label)
{
    static const WCHAR line[] =
        L"\u5DF2\u7ECF\u5B58\u5728\uFF0E\u662F\u5426\u8981\u8986\u76D6\uFF1F";
    RECT all;
    GetClientRect(label, &all);
    const int w = all.right, h = all.bottom;
    BITMAPINFO bi = {{sizeof bi.bmiHeader, w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {{0}}};
    DWORD *shown, *want;
    HDC mem = CreateCompatibleDC(NULL);
    HBITMAP shown_bm = CreateDIBSection(mem, &bi, DIB_RGB_COLORS, (void**)&shown, NULL, 0);
    HBITMAP want_bm = CreateDIBSection(mem, &bi, DIB_RGB_COLORS, (void**)&want, NULL, 0);
    HGDIOBJ old_bm = SelectObject(mem, want_bm);
    HGDIOBJ old_font = SelectObject(mem, (HFONT)SendMessageW(label, WM_GETFONT, 0, 0));
    FillRect(mem, &all, GetSysColorBrush(COLOR_BTNFACE));
    SetTextColor(mem, RGB(255, 0, 0));
    SetBkMode(mem, TRANSPARENT);
    DrawTextW(mem, line, -1, &all, DT_SINGLELINE | DT_NOPREFIX);
    GdiFlush();
    /* The ink of the line: the box of the pixels that differ from the face. */
    int left = w, top = h, right = -1, bottom = -1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (want[y * w + x] != want[0]) {
                left = x < left ? x : left, right = x > right ? x : right;
                top = y < top ? y : top, bottom = y;
            }
    int found = 0;
    for (int tries = 0; right >= 0 && !found && tries < 50; ++tries) {
        if (tries) Sleep(20);
        SelectObject(mem, shown_bm);
        HDC dc = GetDC(label);
        BitBlt(mem, 0, 0, w, h, dc, 0, 0, SRCCOPY);
        ReleaseDC(label, dc);
        GdiFlush();
        for (int y = 0; y + bottom - top < h && !found; ++y)
            for (int x = 0; x + right - left < w && !found; ++x) {
                found = 1;
                for (int j = 0; j <= bottom - top && found; ++j)
                    found = !memcmp(&shown[(y + j) * w + x], &want[(top + j) * w + left],
                                    (size_t)(right - left + 1) * sizeof *shown);
            }
    }
    SelectObject(mem, old_font);
    SelectObject(mem, old_bm);
    DeleteObject(shown_bm);
    DeleteObject(want_bm);
    DeleteDC(mem);
    return found;
}

/* The text of the tool the dialog's tooltip shows over Label; empty when there is none. */
static void tooltip_text(HWND dlg, HWND label, WCHAR* text)
{
    text[0] = 0;
    for (HWND tip = NULL; (tip = FindWindowExW(NULL, tip, TOOLTIPS_CLASSW, NULL));) {
        if (GetWindow(tip, GW_OWNER) != dlg) continue;
        TOOLINFOW tool = {.cbSize = TTTOOLINFOW_V2_SIZE, .hwnd = dlg, .uId = (UINT_PTR)label,
                          .lpszText = text};
        SendMessageW(tip, TTM_GETTEXTW, INFOTIPSIZE, (LPARAM)&tool);
    }
}

/* Waits for the next showing of the dialog and answers it; 0 when the run ended
 * without another question. */
static int answer(TSession* s, HWND main, char a)
{
    HWND dlg = NULL;
    while (!dlg && IsWindow(main) && IsWindowVisible(main)) {
        dlg = questions > s->shown ? FindWindowA("TDlg", NULL) : NULL;
        if (!dlg || !IsWindowVisible(dlg)) dlg = NULL, Sleep(20);
    }
    if (!dlg) return 0;
    ++s->shown;
    const char file = (char)('a' + (s->shown < 4 ? s->shown - 1 : 3));
    WCHAR want[MAX_PATH * 2], got[MAX_PATH * 2], tip[INFOTIPSIZE];
    char dest[MAX_PATH];
    in_work(dest, s->dest);
    /* 文件<path>, a line break, 已经存在．是否要覆盖？ */
    _snwprintf(want, MAX_PATH * 2,
               L"\u6587\u4EF6%hs\\%c.txt\r\n\u5DF2\u7ECF\u5B58\u5728\uFF0E\u662F\u5426\u8981"
               L"\u8986\u76D6\uFF1F",
               dest, file);
    HWND label = GetDlgItem(dlg, 102);
    GetWindowTextW(label, got, MAX_PATH * 2);
    tooltip_text(dlg, label, tip);
    s->question_ok += wcscmp(want, got) == 0 && wcscmp(want, tip) == 0;
    s->line_shown += question_line_drawn(label);
    s->unchecked += SendMessageW(GetDlgItem(dlg, 103), BM_GETCHECK, 0, 0) == BST_UNCHECKED;
    if (a == 'y' || a == 'n') SendMessageW(GetDlgItem(dlg, 103), BM_SETCHECK, BST_CHECKED, 0);
    if (a == 'X') {
        PostMessageW(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (a == 'A') { /* Alt+N, through the dialog's keyboard handling */
        PostMessageW(GetDlgItem(dlg, IDYES), WM_SYSCHAR, 'n', 1 << 29);
    } else {
        const int id = (a == 'Y' || a == 'y') ? IDYES : (a == 'N' || a == 'n') ? IDNO : IDCANCEL;
        PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dlg, id));
    }
    return 1;
}

static DWORD WINAPI play_user(void* p)
{
    TSession* s = p;
    HWND main = wait_window("Tmain");
    if (!main) return 0;
    s->found = 1;
    s->owner_ok = GetWindow(main, GW_OWNER) == s->host;
    s->host_disabled = s->host && !IsWindowEnabled(s->host);
    switch (s->driver) {
    case NONE:
    case CLOSE_IN_RUN:
        /* A run that ends normally closes the window; one that does not is closed here
         * after a minute, and noted. */
        for (int i = 0; i < 3000 && IsWindow(main) && IsWindowVisible(main); ++i) Sleep(20);
        s->left_open = IsWindow(main) && IsWindowVisible(main);
        if (s->left_open) PostMessageW(main, WM_CLOSE, 0, 0);
        break;
    case CLOSE_NOW:
        PostMessageW(main, WM_CLOSE, 0, 0);
        break;
    case CLOSE_AFTER_RUN:
        /* The run begins at the first tick and fails at once; the window must stay. */
        for (int i = 0; i < 1000 && ticks == 0; ++i) Sleep(20);
        Sleep(500);
        s->left_open = IsWindow(main) && IsWindowVisible(main);
        PostMessageW(main, WM_CLOSE, 0, 0);
        break;
    case ANSWER:
        for (const char* a = s->answers; *a; ++a) answer(s, main, *a);
        /* A question beyond the script is counted and cancelled. */
        while (answer(s, main, 'C')) continue;
        break;
    case WAIT_FOR_GO: {
        /* Screenshots: once the question is on screen, the file "asked" tells the
         * script so; its file "go" lets the run go on (Yes, do not ask again). */
        char asked[MAX_PATH], go[MAX_PATH];
        in_work(asked, "asked");
        in_work(go, "go");
        while (questions == 0 && IsWindow(main)) Sleep(20);
        Sleep(500);
        write_file(asked, "");
        while (GetFileAttributesA(go) == INVALID_FILE_ATTRIBUTES) Sleep(50);
        answer(s, main, 'y');
        break;
    }
    }
    return 0;
}

/* One call of Unspools with the other thread playing the user. */
static int call(TUnspools fn, TSession* s, const char* archive, const char* dest, const char* msg)
{
    ticks = 0;
    questions = 0;
    close_on_tick = s->driver == CLOSE_IN_RUN;
    HHOOK shows = SetWindowsHookExW(WH_CALLWNDPROC, on_call, NULL, GetCurrentThreadId());
    HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, on_get_message, NULL, GetCurrentThreadId());
    HANDLE t = CreateThread(NULL, 0, play_user, s, 0, NULL);
    const int result = fn(s->host, archive, dest, msg);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    UnhookWindowsHookEx(hook);
    UnhookWindowsHookEx(shows);
    return result;
}

/* Whether the files under a and b are the same, byte for byte (folders compared by
 * their contents); Stale, when set, first overwrites every file of b that a holds. */
static int same_tree(const char* a, const char* b, int stale)
{
    char pattern[MAX_PATH], pa[MAX_PATH], pb[MAX_PATH];
    static char da[1 << 20], db[1 << 20];
    WIN32_FIND_DATAA f;
    int same = 1, count_a = 0, count_b = 0;
    snprintf(pattern, sizeof pattern, "%s\\*", b);
    HANDLE h = FindFirstFileA(pattern, &f);
    if (h != INVALID_HANDLE_VALUE) {
        do count_b += strcmp(f.cFileName, ".") && strcmp(f.cFileName, "..");
        while (FindNextFileA(h, &f));
        FindClose(h);
    }
    snprintf(pattern, sizeof pattern, "%s\\*", a);
    h = FindFirstFileA(pattern, &f);
    if (h == INVALID_HANDLE_VALUE) return 0;
    do {
        if (!strcmp(f.cFileName, ".") || !strcmp(f.cFileName, "..")) continue;
        ++count_a;
        snprintf(pa, sizeof pa, "%s\\%s", a, f.cFileName);
        snprintf(pb, sizeof pb, "%s\\%s", b, f.cFileName);
        if (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (stale) CreateDirectoryA(pb, NULL);
            same = same_tree(pa, pb, stale) && same;
        } else if (stale) {
            write_file(pb, "stale");
        } else {
            DWORD na = 0, nb = 0;
            same = read_file(pa, da, sizeof da, &na) && read_file(pb, db, sizeof db, &nb) &&
                   na == nb && memcmp(da, db, na) == 0 && same;
        }
    } while (FindNextFileA(h, &f));
    FindClose(h);
    return same && (stale || count_a == count_b);
}

/* ---- the table of calls ---- */

typedef struct {
    const char* name;
    const char* archive; /* in the work folder */
    const char* dest;    /* in the work folder; a trailing "\" is kept */
    int driver;
    int want;            /* the result */
    const char* tree;    /* the reference tree dest must equal; "" empty; NULL absent */
    int stale;           /* fill dest with stale copies of the tree's files first */
    int optional;        /* skipped when the script made no such archive (a build without
                          * the method's library) */
} TCallCase;

static const TCallCase call_cases[] = {
    {"stored entries and folders", "c01_infozip_store.zip", "out-c01", NONE, 1, "ref-c01", 0,
     0},
    {"deflated, DestDir without trailing backslash", "c02_infozip_deflate9_comments.zip",
     "out-c02a", NONE, 1, "ref-c02", 0, 0},
    {"deflated, DestDir with trailing backslash", "c02_infozip_deflate9_comments.zip",
     "out-c02b\\", NONE, 1, "ref-c02", 0, 0},
    {"existing files are replaced", "c01_infozip_store.zip", "out-stale", NONE, 1, "ref-c01", 1,
     0},
    {"missing archive: True, destination made, nothing written", "no-such.zip", "out-none",
     NONE, 1, "", 0, 0},
    {"destination two levels down: False once closed", "c01_infozip_store.zip",
     "missing\\deeper", CLOSE_AFTER_RUN, 0, NULL, 0, 0},
    {"closed during the run: the run goes on, True", "c02_infozip_deflate9_comments.zip",
     "out-closed", CLOSE_IN_RUN, 1, "ref-c02", 0, 0},
    {"closed before the first tick: False, no run", "c01_infozip_store.zip", "out-early",
     CLOSE_NOW, 0, NULL, 0, 0},
    {"multi-volume set: the parts beside it are read", "mv.zip", "out-mv", NONE, 1, "ref-mv",
     0, 0},
    {"bzip2, LZMA, xz and zstd entries", "codecs.zip", "out-codecs", NONE, 1, "ref-codecs", 0,
     1},
};

static void run_call_cases(TUnspools fn, HWND host)
{
    for (size_t i = 0; i < sizeof call_cases / sizeof *call_cases; ++i) {
        const TCallCase* c = &call_cases[i];
        char archive[MAX_PATH], dest[MAX_PATH], tree[MAX_PATH], note[256];
        in_work(archive, c->archive);
        in_work(dest, c->dest);
        if (c->optional && !exists(archive)) {
            printf("skip %s: no %s\n", c->name, c->archive);
            continue;
        }
        if (c->stale) {
            in_work(tree, c->tree);
            CreateDirectoryA(dest, NULL);
            same_tree(tree, dest, 1);
        }
        TSession s = {.driver = c->driver, .host = host};
        const int result = call(fn, &s, archive, dest, "Extracting the test archive");
        int files_ok;
        if (!c->tree) {
            files_ok = !exists(dest);
        } else if (!*c->tree) {
            in_work(tree, "empty");
            CreateDirectoryA(tree, NULL);
            files_ok = same_tree(tree, dest, 0);
        } else {
            in_work(tree, c->tree);
            files_ok = same_tree(tree, dest, 0);
        }
        const int early_ok = c->driver != CLOSE_NOW || ticks == 0;
        const int open_ok = c->driver == CLOSE_AFTER_RUN ? s.left_open : !s.left_open;
        snprintf(note, sizeof note,
                 "result %d (want %d), files %s, owner %s, host disabled %d, ticks %ld%s",
                 result, c->want, files_ok ? "right" : "WRONG", s.owner_ok ? "right" : "WRONG",
                 s.host_disabled, ticks, open_ok ? "" : ", window left open or closed wrongly");
        check(result == c->want && files_ok && s.found && s.owner_ok && s.host_disabled &&
                  IsWindowEnabled(host) && early_ok && open_ok,
              c->name, note);
    }
}

/* Arguments the call refuses before any window. */
static void run_refusals(TUnspools fn, HWND host)
{
    char archive[MAX_PATH], dest[MAX_PATH];
    in_work(archive, "c01_infozip_store.zip");
    in_work(dest, "out-refused");
    const struct {
        const char *name, *archive, *dest;
    } cases[] = {
        {"null ArchiveName", NULL, dest}, {"empty ArchiveName", "", dest},
        {"null DestDir", archive, NULL},  {"empty DestDir", archive, ""},
    };
    for (size_t i = 0; i < sizeof cases / sizeof *cases; ++i) {
        created = 0;
        HHOOK hook = SetWindowsHookExW(WH_CBT, on_cbt, NULL, GetCurrentThreadId());
        const int result = fn(host, cases[i].archive, cases[i].dest, "refused");
        UnhookWindowsHookEx(hook);
        check(result == 0 && created == 0 && !exists(dest), cases[i].name,
              "False at once, no window, nothing written");
    }
}

/* No owner window: the progress window has none, and nothing of the last call's owner
 * is left behind. */
static void run_unowned(TUnspools fn)
{
    char archive[MAX_PATH], dest[MAX_PATH], tree[MAX_PATH];
    in_work(archive, "c01_infozip_store.zip");
    in_work(dest, "out-unowned");
    in_work(tree, "ref-c01");
    TSession s = {.driver = NONE};
    const int result = call(fn, &s, archive, dest, "No owner");
    check(result == 1 && s.found && s.owner_ok && !s.left_open && same_tree(tree, dest, 0),
          "no owner window",
          "True, the window unowned, the files right");
}

/* Trailing spaces after DestDir and ArchiveName are dropped from both, as Windows drops
 * them from the last step of a name: the files go to the folder without them, and no
 * folder whose name keeps them (seen only through the "\\?\" form) is made. */
static void run_trailing_spaces(TUnspools fn, HWND host)
{
    char archive[MAX_PATH], dest[MAX_PATH], plain[MAX_PATH], literal[MAX_PATH + 8], tree[MAX_PATH];
    in_work(archive, "c01_infozip_store.zip  ");
    in_work(dest, "out-spaces   ");
    in_work(plain, "out-spaces");
    snprintf(literal, sizeof literal, "\\\\?\\%s", dest);
    in_work(tree, "ref-c01");
    TSession s = {.driver = NONE, .host = host};
    const int result = call(fn, &s, archive, dest, "Trailing spaces");
    check(result == 1 && same_tree(tree, plain, 0) && !exists(literal),
          "DestDir and ArchiveName with trailing spaces",
          "True, the files in the folder without the spaces, none with them");
}

/* ---- the overwrite dialog ---- */

typedef struct {
    const char* answers;
    int shown;          /* questions asked */
    const char* files;  /* a.txt .. d.txt afterwards: n new, o old, - absent */
    const char* dest;   /* the destination; NULL: ask-<answers> */
} TDialogCase;

static const TDialogCase dialog_cases[] = {
    {"YYY", 3, "nnnn", NULL}, {"NNN", 3, "ooon", NULL}, {"YNY", 3, "nonn", NULL},
    {"C", 1, "ooo-", NULL},   {"X", 1, "ooo-", NULL},   {"y", 1, "nnnn", NULL},
    {"n", 1, "ooo-", NULL},   {"AYA", 3, "onon", NULL},
    /* A path far wider than the label: the question's line still shows whole. */
    {"YNY", 3, "nonn", "ask-in-a-folder-whose-name-alone-is-wider-than-the-dialog's-label"},
};

static void run_dialog_cases(TUnspools ask, HWND host)
{
    for (size_t i = 0; i < sizeof dialog_cases / sizeof *dialog_cases; ++i) {
        const TDialogCase* c = &dialog_cases[i];
        char name[80], dest[MAX_PATH], archive[MAX_PATH], path[MAX_PATH], note[240];
        snprintf(name, sizeof name, "%s", c->dest ? c->dest : "ask-");
        if (!c->dest) strcat(name, c->answers);
        in_work(dest, name);
        in_work(archive, "abcd.zip");
        CreateDirectoryA(dest, NULL);
        for (char f = 'a'; f <= 'c'; ++f) {
            char text[8] = {'o', 'l', 'd', ' ', f, 0};
            snprintf(path, sizeof path, "%s\\%c.txt", dest, f);
            write_file(path, text);
        }
        TSession s = {.driver = ANSWER, .answers = c->answers, .dest = name, .host = host};
        const int result = call(ask, &s, archive, dest, "Asking before replacing");
        char files[5] = "----";
        for (int k = 0; k < 4; ++k) {
            char buf[16] = {0};
            DWORD n = 0;
            snprintf(path, sizeof path, "%s\\%c.txt", dest, 'a' + k);
            if (read_file(path, buf, sizeof buf - 1, &n)) files[k] = buf[0] == 'n' ? 'n' : 'o';
        }
        snprintf(note, sizeof note,
                 "result %d, asked %d times (want %d), files %s (want %s), %d questions right, "
                 "%d with their second line shown, %d shown unticked",
                 result, s.shown, c->shown, files, c->files, s.question_ok, s.line_shown,
                 s.unchecked);
        check(result == 1 && s.shown == c->shown && strcmp(files, c->files) == 0 &&
                  s.question_ok == s.shown && s.line_shown == s.shown && s.unchecked == s.shown,
              name, note);
    }
}

/* ---- the GBK archive under code page 936 ---- */

static void run_gbk(TUnspools fn, HWND host)
{
    /* 中文.txt and 目录/说明.txt; the destination 输出 passed in the ANSI code page. */
    static const WCHAR dest_w[] = L"\u8F93\u51FA";
    char dest_ansi[32], dest[MAX_PATH], archive[MAX_PATH];
    WCHAR path[MAX_PATH];
    char buf[64] = {0};
    check(GetACP() == 936 && GetOEMCP() == 936, "gbk", "Wine runs with code page 936");
    WideCharToMultiByte(CP_ACP, 0, dest_w, -1, dest_ansi, sizeof dest_ansi, NULL, NULL);
    in_work(dest, dest_ansi);
    in_work(archive, "gbk.zip");
    TSession s = {.driver = NONE, .host = host};
    const int result = call(fn, &s, archive, dest, "GBK");
    const WCHAR* names[] = {L"\u4E2D\u6587.txt", L"\u76EE\u5F55\\\u8BF4\u660E.txt"};
    int found = 0;
    for (int i = 0; i < 2; ++i) {
        _snwprintf(path, MAX_PATH, L"%hs\\%ls\\%ls", work, dest_w, names[i]);
        HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        DWORD n = 0;
        if (h == INVALID_HANDLE_VALUE) continue;
        found += ReadFile(h, buf, sizeof buf - 1, &n, NULL) && n == 6 && !memcmp(buf, "gbk ", 4);
        CloseHandle(h);
    }
    check(result == 1 && !s.left_open && found == 2, "gbk",
          "names stored in GBK come out in Chinese");
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: unspool_host <dll-dir> <work-dir> cases|gbk|show ...\n");
        return 2;
    }
    char dlls[MAX_PATH];
    zpath(dlls, argv[1]);
    zpath(work, argv[2]);
    /* The host's own window, handed over as the application window. */
    HWND host = CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                                100, NULL, NULL, NULL, NULL);
    TUnspools fn = load(dlls, "Unspool.dll", "Unspools");
    if (!fn) return 2;
    if (!strcmp(argv[3], "cases")) {
        TUnspools ask = load(dlls, "tests\\dll\\UnspoolTest.dll", "UnspoolsAsk");
        if (!ask) return 2;
        run_refusals(fn, host);
        run_call_cases(fn, host);
        run_unowned(fn);
        run_trailing_spaces(fn, host);
        run_dialog_cases(ask, host);
    } else if (!strcmp(argv[3], "gbk")) {
        run_gbk(fn, host);
    } else if (!strcmp(argv[3], "show") && argc >= 6) {
        char archive[MAX_PATH], dest[MAX_PATH];
        in_work(archive, argv[4]);
        in_work(dest, argv[5]);
        TUnspools show = load(dlls, "tests\\dll\\UnspoolTest.dll", "UnspoolsAsk");
        if (!show) return 2;
        /* The pointer away from the dialog, whose question would show as a tooltip. */
        SetCursorPos(1000, 740);
        /* 正在解压 Unspool 示例文件……, in the ANSI code page as hosts pass it */
        char message[128];
        WideCharToMultiByte(CP_ACP, 0,
                            L"\u6B63\u5728\u89E3\u538B Unspool \u793A\u4F8B\u6587\u4EF6\u2026\u2026",
                            -1, message, sizeof message, NULL, NULL);
        TSession s = {.driver = WAIT_FOR_GO, .dest = argv[5], .host = host};
        const int result = call(show, &s, archive, dest, message);
        check(result == 1, "show", "the shown run ended normally");
    }
    DestroyWindow(host);
    printf("%s\n", failures ? "host: FAILED" : "host: all passed");
    return failures ? 1 : 0;
}
