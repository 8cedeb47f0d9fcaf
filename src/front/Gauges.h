// TGauge: a progress indicator without a window of its own, painted by the window that
// holds it. It shows Progress between MinValue and MaxValue as a horizontal or vertical
// bar, a pie, a needle or the percentage alone, with the percentage written over it in
// the inverse of the colours beneath (the picture is built in off-screen bitmaps and
// combined with exclusive-or). TBltBitmap is the off-screen bitmap it paints with.
#pragma once

#include "FrontWin.h"

#include <cstdint>
#include <functional>
#include <stdexcept>

namespace front {

enum TGaugeKind : uint8_t { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };
enum TBorderStyle : uint8_t { bsNone, bsSingle };

// A setter refused a value; the message is UTF-8.
class EInvalidOperation : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// A bitmap selected into its own memory device context.
class TBitmap {
public:
    TBitmap();
    ~TBitmap();
    TBitmap(const TBitmap&) = delete;
    TBitmap& operator=(const TBitmap&) = delete;
    // Makes the bitmap Width x Height, filled black.
    void SetSize(int Width, int Height);
    HDC Canvas() const { return FDC; }
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    void Fill(COLORREF Color) const;

private:
    void Release();
    int FWidth = 0, FHeight = 0;
    HDC FDC;
    HBITMAP FBitmap = nullptr;
    HGDIOBJ FOld = nullptr;
};

class TBltBitmap : public TBitmap {
public:
    // Takes Template's size and fills the whole bitmap with the system's window-frame
    // colour.
    void MakeLike(const TBitmap& Template);
};

class TGauge {
public:
    // Invalidate asks the holder to repaint the gauge's bounds.
    explicit TGauge(std::function<void()> Invalidate = {});

    int32_t MinValue() const { return FMinValue; }
    void MinValue(int32_t V);
    int32_t MaxValue() const { return FMaxValue; }
    void MaxValue(int32_t V);
    int32_t Progress() const { return FProgress; }
    void Progress(int32_t V);
    TGaugeKind Kind() const { return FKind; }
    void Kind(TGaugeKind V) { Set(FKind, V); }
    bool ShowText() const { return FShowText; }
    void ShowText(bool V) { Set(FShowText, V); }
    TBorderStyle BorderStyle() const { return FBorderStyle; }
    void BorderStyle(TBorderStyle V) { Set(FBorderStyle, V); }
    COLORREF ForeColor() const { return FForeColor; }
    void ForeColor(COLORREF V) { Set(FForeColor, V); }
    COLORREF BackColor() const { return FBackColor; }
    void BackColor(COLORREF V) { Set(FBackColor, V); }

    // The holder's colour (pie and needle background) and font (the percentage).
    COLORREF Color = GetSysColor(COLOR_BTNFACE);
    HFONT Font = nullptr;
    // Position in the holder's client area; a new gauge is 100 x 100.
    TBounds Bounds{0, 0, 100, 100};
    bool Visible = true;
    // Set while a form is being built: the range setters then take any value.
    bool Loading = false;

    int PercentDone() const;
    // Draws the gauge at its bounds on Target.
    void Paint(HDC Target) const;

private:
    template <class V> void Set(V& Field, V Value)
    {
        if (Field == Value) return;
        Field = Value;
        Repaint();
    }
    void Repaint() const
    {
        if (FInvalidate) FInvalidate();
    }
    void PaintKind(const TBitmap& Overlay, const RECT& PaintRect) const;
    void PaintPercent(TBitmap& Image, const RECT& PaintRect) const;

    std::function<void()> FInvalidate;
    int32_t FMinValue = 0;
    int32_t FMaxValue = 100;
    int32_t FProgress = 0;
    TGaugeKind FKind = gkHorizontalBar;
    bool FShowText = true;
    TBorderStyle FBorderStyle = bsSingle;
    COLORREF FForeColor = RGB(0, 0, 0);
    COLORREF FBackColor = RGB(255, 255, 255);
};

} // namespace front
