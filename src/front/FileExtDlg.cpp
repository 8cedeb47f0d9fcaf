#include "FileExtDlg.h"

#include <commctrl.h>

#include <stdexcept>

namespace front {

namespace {

constexpr wchar_t ClassName[] = L"TDlg";
constexpr wchar_t Caption[] = L"\u63D0\u793A";                                   // 提示
constexpr wchar_t DesignedQuestion[] =                                           // 文件已经存在......是否覆盖？
    L"\u6587\u4EF6\u5DF2\u7ECF\u5B58\u5728......\u662F\u5426\u8986\u76D6\uFF1F";
constexpr wchar_t DoNotAsk[] = L"\u4E0D\u518D\u63D0\u793A";                       // 不再提示
constexpr DWORD Style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD ExStyle = WS_EX_DLGMODALFRAME | WS_EX_TOPMOST;
constexpr int ClientWidth = 249, ClientHeight = 118;
constexpr RECT Bevel1{11, 11, 11 + 225, 11 + 68};
constexpr COLORREF QuestionColor = RGB(255, 0, 0);

struct TButtonDesign {
    int Result;
    const wchar_t* Caption;
    TBounds Bounds;
    DWORD Style;
};
// In tab order: Yes, No, Cancel; Yes is the default button.
constexpr TButtonDesign Buttons[] = {
    {IDYES, L"\u662F&Y", {11, 87, 65, 21}, BS_DEFPUSHBUTTON},     // 是&Y
    {IDNO, L"\u5426&N", {85, 87, 68, 21}, BS_PUSHBUTTON},         // 否&N
    {IDCANCEL, L"\u53D6\u6D88(&C)", {160, 87, 76, 21}, BS_PUSHBUTTON}, // 取消(&C)
};

} // namespace

TDlg::TDlg(HWND Owner)
    : FFont(MakeFont(L"\u5B8B\u4F53", -13, false, GB2312_CHARSET)) // 宋体
{
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    RegisterFormClass(ClassName, FormProc<TDlg>);
    const SIZE outer = OuterSize(ClientWidth, ClientHeight, Style, ExStyle);
    const int left = (GetSystemMetrics(SM_CXSCREEN) - outer.cx) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - outer.cy) / 2;
    CreateWindowExW(ExStyle, ClassName, Caption, Style, left, top, outer.cx, outer.cy, Owner,
                    nullptr, ModuleInstance(), this);
    if (!FHandle) throw std::runtime_error("the overwrite dialog cannot be made");
    HFONT font = FFont.Get();
    FLabel2 = CreateControl(FHandle, L"STATIC", DesignedQuestion,
                            WS_VISIBLE | SS_OWNERDRAW | SS_NOTIFY, {23, 22, 200, 30},
                            idLabel2, font);
    for (const TButtonDesign& b : Buttons)
        CreateControl(FHandle, L"BUTTON", b.Caption, WS_VISIBLE | WS_TABSTOP | b.Style, b.Bounds,
                      b.Result, font);
    FCheckBox1 = CreateControl(FHandle, L"BUTTON", DoNotAsk,
                               WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, {20, 55, 73, 14},
                               idCheckBox1, font);
    // The label cuts a long question off; hovering over it shows the whole of it.
    FHint = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                            WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, 0, 0, 0, 0, FHandle, nullptr,
                            ModuleInstance(), nullptr);
    if (FHint) {
        TOOLINFOW tool{};
        tool.cbSize = TTTOOLINFOW_V2_SIZE;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = FHandle;
        tool.uId = reinterpret_cast<UINT_PTR>(FLabel2);
        tool.lpszText = const_cast<wchar_t*>(DesignedQuestion);
        SendMessageW(FHint, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        SendMessageW(FHint, TTM_SETMAXTIPWIDTH, 0, 600);
    }
}

TDlg::~TDlg()
{
    if (FHandle) DestroyWindow(FHandle);
}

bool TDlg::Checked() const
{
    return SendMessageW(FCheckBox1, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void TDlg::FormActivate() { SendMessageW(FCheckBox1, BM_SETCHECK, BST_UNCHECKED, 0); }

int TDlg::ShowModal(const std::wstring& Question)
{
    FModalResult = 0;
    FFocus = GetDlgItem(FHandle, IDYES);
    FormActivate();
    SetWindowTextW(FLabel2, Question.c_str());
    if (FHint) {
        TOOLINFOW tool{};
        tool.cbSize = TTTOOLINFOW_V2_SIZE;
        tool.hwnd = FHandle;
        tool.uId = reinterpret_cast<UINT_PTR>(FLabel2);
        tool.lpszText = const_cast<wchar_t*>(Question.c_str());
        SendMessageW(FHint, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    front::ShowModal(FHandle, FModalResult);
    return FModalResult;
}

// The question is a path on its first line and the question proper on the next. Each line
// is drawn on its own, cut at the label's edge: the path loses its middle (its start and
// file name stay), the other lines their end. A long path thus never pushes the question
// out of the label; the tooltip holds the whole text.
void TDlg::DrawQuestion(const DRAWITEMSTRUCT& Item) const
{
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(FLabel2)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(FLabel2, text.data(),
                                                   static_cast<int>(text.size()))));
    HDC dc = Item.hDC;
    FillRect(dc, &Item.rcItem, GetSysColorBrush(COLOR_BTNFACE));
    HGDIOBJ old = SelectObject(dc, FFont.Get());
    TEXTMETRICW tm;
    GetTextMetricsW(dc, &tm);
    SetTextColor(dc, QuestionColor);
    SetBkMode(dc, TRANSPARENT);
    RECT line = Item.rcItem;
    UINT cut = DT_PATH_ELLIPSIS | DT_END_ELLIPSIS;
    for (size_t start = 0; start <= text.size() && line.top < Item.rcItem.bottom;) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        const size_t len = end - start - (end > start && text[end - 1] == L'\r');
        line.bottom = line.top + tm.tmHeight;
        DrawTextW(dc, text.data() + start, static_cast<int>(len), &line,
                  DT_SINGLELINE | DT_NOPREFIX | cut);
        cut = DT_END_ELLIPSIS;
        line.top = line.bottom;
        start = end + 1;
    }
    SelectObject(dc, old);
}

LRESULT TDlg::WndProc(UINT Msg, WPARAM W, LPARAM L)
{
    switch (Msg) {
    case WM_COMMAND:
        if (HIWORD(W) == BN_CLICKED &&
            (LOWORD(W) == IDYES || LOWORD(W) == IDNO || LOWORD(W) == IDCANCEL)) {
            FModalResult = LOWORD(W);
            return 0;
        }
        break;
    case WM_CLOSE:
        FModalResult = IDCANCEL;
        return 0;
    case DM_GETDEFID:
        return MAKELRESULT(IDYES, DC_HASDEFID);
    case WM_ACTIVATE:
        // Focus goes back where it was when the dialog lost activation.
        if (LOWORD(W) == WA_INACTIVE) {
            FFocus = GetFocus();
        } else if (FFocus && IsChild(FHandle, FFocus)) {
            SetFocus(FFocus);
            return 0;
        }
        break;
    case WM_DRAWITEM:
        if (W == idLabel2) {
            DrawQuestion(*reinterpret_cast<const DRAWITEMSTRUCT*>(L));
            return TRUE;
        }
        break;
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(W);
        SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(FHandle, &ps);
        RECT bevel = Bevel1;
        DrawEdge(dc, &bevel, EDGE_BUMP, BF_RECT);
        EndPaint(FHandle, &ps);
        return 0;
    }
    }
    return DefWindowProcW(FHandle, Msg, W, L);
}

} // namespace front
