#include "mainform.h"

#include "qvrGbls.h"
#include "qvrPlatform.h"

#include <stdexcept>

namespace front {

namespace {

constexpr wchar_t ClassName[] = L"Tmain";
constexpr UINT_PTR Timer1 = 1;
// The gauges' bar colour: red 0, green 0, blue 168.
constexpr COLORREF BarColor = RGB(0, 0, 168);

struct TLabelDesign {
    int Id;
    TBounds Bounds;
    const wchar_t* Caption;
    bool Heading; // the bold heading font instead of the form's
    DWORD Style;
};
// The designed labels; the compact layout shows only Label5.
constexpr TLabelDesign Labels[] = {
    {Tmain::idLabel5, {16, 56, 3, 13}, L"", false, SS_LEFTNOWORDWRAP | SS_NOPREFIX},
    {Tmain::idLabel4, {11, 106, 72, 13}, L"\u603B \u8FDB \u5EA6\uFF1A", true, // 总 进 度：
     WS_VISIBLE | SS_LEFTNOWORDWRAP},
    {Tmain::idLabel3, {11, 82, 70, 13}, L"\u6587\u4EF6\u8FDB\u5EA6\uFF1A", true, // 文件进度：
     WS_VISIBLE | SS_LEFTNOWORDWRAP},
    {Tmain::idLabel2, {11, 14, 132, 13}, L"\u6B63\u5728\u89E3\u538B\u6587\u4EF6......", true,
     WS_VISIBLE | SS_LEFTNOWORDWRAP}, // 正在解压文件......
    {Tmain::idLabel1, {11, 36, 314, 34}, L"\u6B63\u5728\u51C6\u5907\u2026\u2026\u2026", false,
     WS_VISIBLE | SS_LEFT | SS_NOPREFIX}, // 正在准备………
};

// The 16 x 16 picture in Animate1's place: a computer under a magnifying glass.
void DrawFindComputer(HDC DC, RECT R)
{
    FillRect(DC, &R, GetSysColorBrush(COLOR_BTNFACE));
    const int x = R.left, y = R.top;
    TBrush casing(CreateSolidBrush(RGB(192, 192, 192))), screen(CreateSolidBrush(RGB(0, 128, 128)));
    TBrush glass(CreateSolidBrush(RGB(224, 240, 255)));
    TGdiObject<HPEN> thin(CreatePen(PS_SOLID, 1, RGB(0, 0, 0)));
    TGdiObject<HPEN> thick(CreatePen(PS_SOLID, 2, RGB(96, 64, 0)));
    HGDIOBJ oldPen = SelectObject(DC, thin.Get());
    HGDIOBJ oldBrush = SelectObject(DC, casing.Get());
    Rectangle(DC, x + 0, y + 1, x + 12, y + 10);
    const RECT glassPane{x + 2, y + 3, x + 10, y + 8};
    FillRect(DC, &glassPane, screen.Get());
    Rectangle(DC, x + 3, y + 11, x + 10, y + 13);
    SelectObject(DC, thick.Get());
    MoveToEx(DC, x + 13, y + 13, nullptr);
    LineTo(DC, x + 15, y + 15);
    SelectObject(DC, thin.Get());
    SelectObject(DC, glass.Get());
    Ellipse(DC, x + 7, y + 6, x + 15, y + 14);
    SelectObject(DC, oldBrush);
    SelectObject(DC, oldPen);
}

} // namespace

Tmain::Tmain(HWND Owner)
    : FFormFont(MakeFont(L"MS Sans Serif", -11, false, DEFAULT_CHARSET)),
      FHeadingFont(MakeFont(L"\u5B8B\u4F53", -13, true, GB2312_CHARSET)), // 宋体
      Gauge1([this] { InvalidateGauge(Gauge1); }), Gauge2([this] { InvalidateGauge(Gauge2); })
{
    RegisterFormClass(ClassName, FormProc<Tmain>);
    if (Owner && !IsWindow(Owner)) Owner = nullptr;
    CreateWindowExW(0, ClassName, L"main", WS_OVERLAPPEDWINDOW, 275, 246, 342, 162, Owner, nullptr,
                    ModuleInstance(), this);
    if (!FHandle) throw std::runtime_error("the progress window cannot be made");
    for (const TLabelDesign& l : Labels)
        CreateControl(FHandle, L"STATIC", l.Caption, l.Style, l.Bounds, l.Id,
                      l.Heading ? FHeadingFont.Get() : FFormFont.Get());
    CreateControl(FHandle, L"STATIC", L"", SS_OWNERDRAW, {318, 27, 16, 16}, idAnimate1, nullptr);
    Gauge2.Bounds = {84, 104, 243, 17};
    Gauge1.Bounds = {84, 80, 242, 18};
    for (TGauge* g : {&Gauge1, &Gauge2}) {
        g->ForeColor(BarColor);
        g->Font = FFormFont.Get();
    }

    UnZip.CpuType(cptAuto);
    // The DLL writes what it always wrote: DOS dates and the DOS attribute byte. Links
    // are files on Windows in any case.
    UnZip.UseExtendedTimes(false);
    UnZip.RestoreUnixModes(false);
    UnZip.OnBegin = [this](TZipCommon&, const std::string& FileName, int32_t, bool& Extract) {
        UnZipBegin(FileName, Extract);
    };
    UnZip.OnProgress = [this](TZipCommon&, uint8_t ByFile, uint8_t ByArchive) {
        UnZipProgress(ByFile, ByArchive);
    };
    UnZip.OnFileExists = [this](TZipCommon& Sender, const std::string& FileName,
                                std::string& NewFileName, TOverwriteMode& Mode) {
        UnZipOnFileExists(Sender, FileName, NewFileName, Mode);
    };
    UnZip.ProcessMessages = ProcessMessages;
}

Tmain::~Tmain()
{
    Dlg.reset();
    if (FHandle) DestroyWindow(FHandle);
}

void Tmain::PrepareWindow(const std::wstring& Message)
{
    Gauge1.Visible = false;
    for (int id : {idLabel1, idLabel2, idLabel3, idLabel4}) ShowWindow(Control(id), SW_HIDE);
    HWND label5 = Control(idLabel5);
    SetWindowTextW(label5, Message.c_str());
    const SIZE text = TextExtent(FFormFont.Get(), Message);
    SetWindowPos(label5, nullptr, 8, 8, text.cx, text.cy, SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(label5, SW_SHOWNA);
    SetWindowPos(FHandle, nullptr, 0, 0, 403, 96, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    Gauge2.Bounds = {8, 26, 353, 17};
    HWND animate = Control(idAnimate1);
    SetWindowPos(animate, nullptr, 369, 27, 16, 16, SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(animate, SW_SHOWNA);
    FRecurseDirs = false;
    FAskOverwrite = false;
    FArchiveName.clear();
}

void Tmain::SetRun(const std::string& ArchiveName, const std::string& DestDir, bool RecurseDirs,
                   bool UseStoredDirs, bool AskOverwrite)
{
    FArchiveName = ArchiveName;
    FDestDir = DestDir;
    FRecurseDirs = RecurseDirs;
    FUseStoredDirs = UseStoredDirs;
    FAskOverwrite = AskOverwrite;
}

bool Tmain::ShowModal()
{
    FModalResult = 0;
    FormShow();
    front::ShowModal(FHandle, FModalResult);
    // Closed before the first tick: the run never begins.
    KillTimer(FHandle, Timer1);
    return FResult;
}

void Tmain::FormShow() { SetTimer(FHandle, Timer1, 1000, nullptr); }

void Tmain::Timer1Timer() { RunExtraction(FArchiveName, FDestDir, FRecurseDirs); }

void Tmain::RunExtraction(const std::string& ArchiveName, const std::string& DestDir,
                          bool RecurseDirs)
{
    KillTimer(FHandle, Timer1);
    try {
        Dlg = std::make_unique<TDlg>(FHandle);
        UnZip.ArchiveFile(ArchiveName);
        UnZip.RecurseDirs(RecurseDirs);
        if (!FUseStoredDirs) UnZip.UseStoredDirs(false);
        UnZip.ConfirmOverwrites(FAskOverwrite);
        UnZip.FileSpec().clear();
        UnZip.FileSpec().push_back("*.*");
        // One level only: a destination whose parent is missing fails the run.
        if (!DirExists(DestDir) && !qvrOS::CreateDir(DestDir))
            throw std::runtime_error("cannot create " + DestDir);
        UnZip.ExtractDir(DestDir);
        UnZip.ExtractFiles();
        FResult = true;
    } catch (...) {
        // The window stays as it is until the user closes it.
        Dlg.reset();
        FResult = false;
        return;
    }
    Dlg.reset();
    Close();
}

void Tmain::UnZipBegin(const std::string& FileName, bool& /*Extract*/)
{
    SetWindowTextW(Control(idLabel1), Widen(FileName).c_str());
    ProcessMessages();
}

void Tmain::UnZipProgress(uint8_t ProgressByFile, uint8_t ProgressByArchive)
{
    Gauge1.Progress(ProgressByFile);
    Gauge2.Progress(ProgressByArchive);
    ProcessMessages();
}

void Tmain::UnZipOnFileExists(TZipCommon& Sender, const std::string& FileName,
                              std::string& NewFileName, TOverwriteMode& OverwriteMode)
{
    // 文件<name>, a line break, 已经存在．是否要覆盖？
    const std::wstring question = L"\u6587\u4EF6" + Widen(FileName) +
                                  L"\r\n\u5DF2\u7ECF\u5B58\u5728\uFF0E\u662F\u5426\u8981\u8986\u76D6\uFF1F";
    const int answer = Dlg->ShowModal(question);
    NewFileName = FileName;
    switch (answer) {
    case IDCANCEL:
        Sender.SetCancel(true);
        break;
    case IDYES:
        OverwriteMode = omOverwrite;
        break;
    case IDNO:
        OverwriteMode = omSkip;
        break;
    }
    Sender.ConfirmOverwrites(!Dlg->Checked());
}

void Tmain::InvalidateGauge(const TGauge& Gauge) const
{
    const TBounds& b = Gauge.Bounds;
    const RECT r{b.Left, b.Top, b.Left + b.Width, b.Top + b.Height};
    if (FHandle && Gauge.Visible) InvalidateRect(FHandle, &r, FALSE);
}

void Tmain::Paint()
{
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(FHandle, &ps);
    for (const TGauge* g : {&Gauge1, &Gauge2})
        if (g->Visible) g->Paint(dc);
    EndPaint(FHandle, &ps);
}

LRESULT Tmain::WndProc(UINT Msg, WPARAM W, LPARAM L)
{
    switch (Msg) {
    case WM_TIMER:
        if (W == Timer1) {
            Timer1Timer();
            return 0;
        }
        break;
    case WM_CLOSE:
        // Marks the modal window for closing; a run in progress goes on to its end.
        Close();
        return 0;
    case WM_PAINT:
        Paint();
        return 0;
    case WM_DRAWITEM: {
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(L);
        if (item->CtlID != idAnimate1) break;
        DrawFindComputer(item->hDC, item->rcItem);
        return TRUE;
    }
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(W);
        const bool heading = reinterpret_cast<HWND>(L) == Control(idLabel2);
        SetTextColor(dc, heading ? RGB(0, 0, 128) : GetSysColor(COLOR_BTNTEXT));
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    }
    return DefWindowProcW(FHandle, Msg, W, L);
}

} // namespace front
