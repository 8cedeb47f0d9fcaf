#include "FrontWin.h"

#include <climits>
#include <vector>

namespace front {

std::wstring Widen(std::string_view Text)
{
    std::wstring w;
    if (Text.empty() || Text.size() > INT_MAX) return w;
    const int size = static_cast<int>(Text.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, Text.data(), size, nullptr, 0);
    if (n <= 0) return w;
    w.resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_UTF8, 0, Text.data(), size, w.data(), n);
    return w;
}

HINSTANCE ModuleInstance()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ModuleInstance), &module);
    return module;
}

namespace {

int CALLBACK NoteFace(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM Found)
{
    *reinterpret_cast<bool*>(Found) = true;
    return 0;
}

bool FaceInstalled(const wchar_t* Face)
{
    LOGFONTW want{};
    want.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(want.lfFaceName, Face, LF_FACESIZE);
    bool found = false;
    HDC dc = GetDC(nullptr);
    EnumFontFamiliesExW(dc, &want, NoteFace, reinterpret_cast<LPARAM>(&found), 0);
    ReleaseDC(nullptr, dc);
    return found;
}

} // namespace

HFONT MakeFont(const wchar_t* Face, int Height, bool Bold, BYTE Charset)
{
    LOGFONTW lf{};
    if (FaceInstalled(Face)) {
        lstrcpynW(lf.lfFaceName, Face, LF_FACESIZE);
        lf.lfCharSet = Charset;
    } else {
        GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
    }
    lf.lfHeight = Height;
    lf.lfWidth = 0;
    lf.lfWeight = Bold ? FW_BOLD : FW_NORMAL;
    return CreateFontIndirectW(&lf);
}

SIZE TextExtent(HFONT Font, std::wstring_view Text)
{
    SIZE size{0, 0};
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, Font);
    GetTextExtentPoint32W(dc, Text.data(), static_cast<int>(Text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return size;
}

void ProcessMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

namespace {

// The enabled, visible top-level windows of this thread other than the modal one; they
// are disabled while it is shown.
class TDisabledWindows {
public:
    explicit TDisabledWindows(HWND Modal) : FModal(Modal)
    {
        EnumThreadWindows(GetCurrentThreadId(), Collect, reinterpret_cast<LPARAM>(this));
        for (HWND w : FWindows) EnableWindow(w, FALSE);
    }
    ~TDisabledWindows() { Restore(); }
    TDisabledWindows(const TDisabledWindows&) = delete;
    TDisabledWindows& operator=(const TDisabledWindows&) = delete;
    void Restore()
    {
        for (HWND w : FWindows)
            if (IsWindow(w)) EnableWindow(w, TRUE);
        FWindows.clear();
    }

private:
    static BOOL CALLBACK Collect(HWND Wnd, LPARAM Self)
    {
        auto* self = reinterpret_cast<TDisabledWindows*>(Self);
        if (Wnd != self->FModal && IsWindowVisible(Wnd) && IsWindowEnabled(Wnd))
            self->FWindows.push_back(Wnd);
        return TRUE;
    }
    HWND FModal;
    std::vector<HWND> FWindows;
};

} // namespace

void ShowModal(HWND Window, int& Result)
{
    TDisabledWindows disabled(Window);
    ShowWindow(Window, SW_SHOW);
    SetForegroundWindow(Window);
    MSG msg;
    while (Result == 0) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got <= 0) {
            if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
            Result = IDCANCEL;
            break;
        }
        if (!IsDialogMessageW(Window, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    disabled.Restore();
    ShowWindow(Window, SW_HIDE);
}

void RegisterFormClass(const wchar_t* Name, WNDPROC Proc)
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = Proc;
    wc.hInstance = ModuleInstance();
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = Name;
    RegisterClassExW(&wc); // fails harmlessly when this module registered it before
}

HWND CreateControl(HWND Parent, const wchar_t* Class, const wchar_t* Text, DWORD Style,
                   TBounds Bounds, int Id, HFONT Font)
{
    HWND w = CreateWindowExW(0, Class, Text, WS_CHILD | Style, Bounds.Left, Bounds.Top,
                             Bounds.Width, Bounds.Height, Parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(Id)), ModuleInstance(),
                             nullptr);
    if (w && Font) SendMessageW(w, WM_SETFONT, reinterpret_cast<WPARAM>(Font), FALSE);
    return w;
}

SIZE OuterSize(int ClientWidth, int ClientHeight, DWORD Style, DWORD ExStyle)
{
    RECT r{0, 0, ClientWidth, ClientHeight};
    AdjustWindowRectEx(&r, Style, FALSE, ExStyle);
    return {r.right - r.left, r.bottom - r.top};
}

} // namespace front
