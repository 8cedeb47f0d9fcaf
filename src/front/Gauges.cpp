#include "Gauges.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>

namespace front {

TBitmap::TBitmap() : FDC(CreateCompatibleDC(nullptr)) {}

TBitmap::~TBitmap()
{
    Release();
    DeleteDC(FDC);
}

void TBitmap::Release()
{
    if (!FBitmap) return;
    SelectObject(FDC, FOld);
    DeleteObject(FBitmap);
    FBitmap = nullptr;
}

void TBitmap::SetSize(int Width, int Height)
{
    Release();
    FWidth = Width;
    FHeight = Height;
    // 32 bits a pixel whatever the display's depth, so colours are kept exactly and
    // exclusive-or inverts them exactly.
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = Width;
    info.bmiHeader.biHeight = -Height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    FBitmap = CreateDIBSection(FDC, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    FOld = SelectObject(FDC, FBitmap);
    Fill(RGB(0, 0, 0));
}

void TBitmap::Fill(COLORREF Color) const
{
    const RECT all{0, 0, FWidth, FHeight};
    TBrush brush(CreateSolidBrush(Color));
    FillRect(FDC, &all, brush.Get());
}

void TBltBitmap::MakeLike(const TBitmap& Template)
{
    SetSize(Template.Width(), Template.Height());
    Fill(GetSysColor(COLOR_WINDOWFRAME));
}

namespace {

// Percent X of Z, truncated; 0 for an empty range. 64-bit: a range may span the whole
// 32-bit scale.
int64_t SolveForY(int64_t X, int64_t Z) { return Z == 0 ? 0 : X * 100 / Z; }
// Y percent of Z, truncated.
int SolveForX(int Y, int Z) { return static_cast<int>(Z * (Y * 0.01)); }

std::string RangeMessage(int64_t Low, int64_t High)
{
    char text[96];
    std::snprintf(text, sizeof text, "\u503C\u5FC5\u987B\u4ECB\u4E8E %lld \u4E0E %lld \u4E4B\u95F4",
                  static_cast<long long>(Low), static_cast<long long>(High));
    return text;
}

// Selects a GDI object into a device context for the life of the selector.
class TSelect {
public:
    TSelect(HDC DC, HGDIOBJ Object) : FDC(DC), FOld(SelectObject(DC, Object)) {}
    ~TSelect() { SelectObject(FDC, FOld); }
    TSelect(const TSelect&) = delete;
    TSelect& operator=(const TSelect&) = delete;

private:
    HDC FDC;
    HGDIOBJ FOld;
};

void FillWith(HDC DC, RECT R, COLORREF Color)
{
    TBrush brush(CreateSolidBrush(Color));
    FillRect(DC, &R, brush.Get());
}

int Round(double V) { return static_cast<int>(std::lround(V)); }

} // namespace

TGauge::TGauge(std::function<void()> Invalidate) : FInvalidate(std::move(Invalidate)) {}

void TGauge::MinValue(int32_t V)
{
    if (V == FMinValue) return;
    if (V > FMaxValue && !Loading)
        throw EInvalidOperation(RangeMessage(-2147483647, int64_t{FMaxValue} - 1));
    FMinValue = V;
    if (FProgress < V) FProgress = V;
    Repaint();
}

void TGauge::MaxValue(int32_t V)
{
    if (V == FMaxValue) return;
    if (V < FMinValue && !Loading)
        throw EInvalidOperation(RangeMessage(int64_t{FMinValue} + 1, 2147483647));
    FMaxValue = V;
    if (V < FProgress) FProgress = V;
    Repaint();
}

void TGauge::Progress(int32_t V)
{
    // While loading, MinValue may stand above MaxValue; the lower bound then wins.
    V = std::max(std::min(V, FMaxValue), FMinValue);
    if (V == FProgress) return;
    const int before = PercentDone();
    FProgress = V;
    if (PercentDone() != before) Repaint();
}

int TGauge::PercentDone() const
{
    return static_cast<int>(SolveForY(int64_t{FProgress} - FMinValue, int64_t{FMaxValue} - FMinValue));
}

void TGauge::Paint(HDC Target) const
{
    const int w = Bounds.Width, h = Bounds.Height;
    if (w <= 0 || h <= 0) return;
    TBitmap image;
    image.SetSize(w, h);
    RECT paintRect{0, 0, w, h};
    if (FBorderStyle == bsSingle) InflateRect(&paintRect, -1, -1);
    {
        TBltBitmap overlay;
        overlay.MakeLike(image);
        overlay.Fill(RGB(0, 0, 0));
        PaintKind(overlay, paintRect);
        BitBlt(image.Canvas(), 0, 0, w, h, overlay.Canvas(), 0, 0, SRCINVERT);
    }
    if (FShowText) PaintPercent(image, paintRect);
    // The pixels outside PaintRect stay black: they are the one-pixel frame.
    BitBlt(Target, Bounds.Left, Bounds.Top, w, h, image.Canvas(), 0, 0, SRCCOPY);
}

void TGauge::PaintKind(const TBitmap& Overlay, const RECT& PaintRect) const
{
    HDC dc = Overlay.Canvas();
    const RECT& r = PaintRect;
    const int percent = PercentDone();
    // The bars count both edges of PaintRect; pie and needle take the plain differences,
    // widened by the frame's pixel when there is one.
    const int barW = r.right - r.left + 1, barH = r.bottom - r.top + 1;
    const int frame = FBorderStyle == bsSingle ? 1 : 0;
    const int w = r.right - r.left + frame, h = r.bottom - r.top + frame;
    switch (FKind) {
    case gkText:
        FillWith(dc, r, FBackColor);
        break;
    case gkHorizontalBar: {
        FillWith(dc, r, FBackColor);
        const int x = std::min(SolveForX(percent, barW), barW);
        if (x >= 1) FillWith(dc, {r.left, r.top, x, barH}, FForeColor);
        break;
    }
    case gkVerticalBar: {
        FillWith(dc, r, FBackColor);
        const int y = std::min(SolveForX(percent, barH), barH - 1);
        FillWith(dc, {r.left, barH - y, barW, barH}, FForeColor);
        break;
    }
    case gkPie: {
        FillWith(dc, r, Color);
        TBrush back(CreateSolidBrush(FBackColor)), fore(CreateSolidBrush(FForeColor));
        TGdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, FForeColor));
        TSelect selPen(dc, pen.Get());
        {
            TSelect selBrush(dc, back.Get());
            Ellipse(dc, r.left, r.top, w, h);
        }
        if (percent > 0) {
            const double a = std::numbers::pi * (percent / 50.0 + 0.5);
            const int mx = w / 2, my = h / 2;
            TSelect selBrush(dc, fore.Get());
            Pie(dc, r.left, r.top, w, h, Round(mx * (1 - std::cos(a))), Round(my * (1 - std::sin(a))),
                mx, 0);
        }
        break;
    }
    case gkNeedle: {
        FillWith(dc, r, Color);
        TBrush back(CreateSolidBrush(FBackColor));
        TGdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, FForeColor));
        TSelect selPen(dc, pen.Get());
        TSelect selBrush(dc, back.Get());
        // The dial is the upper half of an ellipse twice the gauge's height, whose
        // centre sits on the bottom edge; the lower half falls outside PaintRect.
        const int save = SaveDC(dc);
        IntersectClipRect(dc, r.left, r.top, r.right, r.bottom);
        const int bottom = r.top + 2 * h - 1, mid = (r.top + bottom) / 2;
        Chord(dc, r.left, r.top, w, bottom, w, mid, r.left, mid);
        MoveToEx(dc, r.left, r.bottom - 1, nullptr);
        LineTo(dc, w, r.bottom - 1);
        if (percent > 0) {
            const double a = std::numbers::pi * percent / 100;
            const int mx = Bounds.Width / 2;
            MoveToEx(dc, mx, r.bottom - 1, nullptr);
            LineTo(dc, Round((1 - std::cos(a)) * mx), Round((1 - std::sin(a)) * (r.bottom - 1)));
        }
        RestoreDC(dc, save);
        break;
    }
    }
}

void TGauge::PaintPercent(TBitmap& Image, const RECT& PaintRect) const
{
    TBltBitmap text;
    text.MakeLike(Image);
    text.Fill(RGB(0, 0, 0));
    HDC dc = text.Canvas();
    const std::wstring s = std::to_wstring(PercentDone()) + L"%";
    TSelect font(dc, Font ? static_cast<HGDIOBJ>(Font) : GetStockObject(DEFAULT_GUI_FONT));
    SetTextColor(dc, RGB(255, 255, 255));
    SetBkMode(dc, TRANSPARENT);
    SIZE size{};
    GetTextExtentPoint32W(dc, s.data(), static_cast<int>(s.size()), &size);
    const int x = (PaintRect.right - PaintRect.left + 1 - size.cx) / 2;
    const int y = (PaintRect.bottom - PaintRect.top + 1 - size.cy) / 2;
    ExtTextOutW(dc, x, y, ETO_CLIPPED, &PaintRect, s.data(), static_cast<UINT>(s.size()), nullptr);
    BitBlt(Image.Canvas(), 0, 0, Image.Width(), Image.Height(), dc, 0, 0, SRCINVERT);
}

} // namespace front
