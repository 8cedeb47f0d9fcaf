// The gauge under Wine: every kind painted into an off-screen bitmap, chosen pixels
// compared; the percentage text inverts what lies beneath it; the setters' rules.
//
// The gauge is 100 x 60 with its one-pixel frame, so PaintRect is (1, 1, 99, 59).
#include "Gauges.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

using namespace front;

namespace {

int failures = 0;

void Check(bool Ok, const std::string& What)
{
    std::printf("%s %s\n", Ok ? "ok  " : "FAIL", What.c_str());
    if (!Ok) ++failures;
}

constexpr COLORREF Black = RGB(0, 0, 0), White = RGB(255, 255, 255);
constexpr COLORREF Fore = RGB(0, 0, 168), Back = RGB(255, 255, 224), Face = RGB(0, 160, 0);

struct TPixel {
    int X, Y;
    COLORREF Want;
};

// Paints Gauge onto a fresh 100 x 60 bitmap and returns every pixel.
std::vector<COLORREF> Render(const TGauge& Gauge)
{
    TBitmap target;
    target.SetSize(100, 60);
    Gauge.Paint(target.Canvas());
    std::vector<COLORREF> px;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 100; ++x) px.push_back(GetPixel(target.Canvas(), x, y));
    return px;
}

// Without smoothing, so that the text's pixels are all or nothing.
const TFont TextFont(CreateFontW(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0,
                                 NONANTIALIASED_QUALITY, 0, L"Tahoma"));

TGauge Make(TGaugeKind Kind, int Progress, bool Text)
{
    TGauge g;
    g.Font = TextFont.Get();
    g.Bounds = {0, 0, 100, 60};
    g.Kind(Kind);
    g.ForeColor(Fore);
    g.BackColor(Back);
    g.Color = Face;
    g.ShowText(Text);
    g.Progress(Progress);
    return g;
}

struct TPaintCase {
    const char* Name;
    TGaugeKind Kind;
    int Progress;
    std::vector<TPixel> Pixels;
};

const TPaintCase PaintCases[] = {
    // W = 99: 50 % is 49 columns wide, ending at x = 48; the frame stays black.
    {"horizontal 50%", gkHorizontalBar, 50,
     {{0, 0, Black}, {0, 30, Black}, {1, 1, Fore}, {48, 30, Fore}, {49, 30, Back}, {98, 58, Back}}},
    {"horizontal 0% paints no bar", gkHorizontalBar, 0, {{1, 30, Back}, {50, 30, Back}}},
    {"horizontal 100% fills PaintRect", gkHorizontalBar, 100,
     {{1, 1, Fore}, {98, 58, Fore}, {99, 30, Black}}},
    // H = 59: 50 % rises 29 rows from the bottom, to y = 30.
    {"vertical 50%", gkVerticalBar, 50,
     {{50, 58, Fore}, {50, 30, Fore}, {50, 29, Back}, {1, 1, Back}, {98, 58, Fore}, {50, 59, Black}}},
    {"vertical 100% fills PaintRect", gkVerticalBar, 100, {{50, 1, Fore}, {98, 58, Fore}, {50, 59, Black}}},
    // Ellipse in (1, 1, 99, 59); 25 % is the quarter from twelve to three o'clock.
    {"pie 25%", gkPie, 25,
     {{2, 2, Face}, {70, 15, Fore}, {30, 15, Back}, {70, 45, Back}, {30, 45, Back}}},
    {"pie 75%", gkPie, 75, {{70, 15, Fore}, {70, 45, Fore}, {30, 45, Fore}, {30, 15, Back}}},
    {"pie 0% is the empty dial", gkPie, 0, {{70, 15, Back}, {50, 30, Back}, {97, 3, Face}}},
    // Needle from (50, 58): straight up at 50 %, flat to the right at 100 %.
    {"needle 50%", gkNeedle, 50,
     {{50, 30, Fore}, {50, 5, Fore}, {45, 30, Back}, {2, 2, Face}, {30, 58, Fore}}},
    {"needle 100%", gkNeedle, 100, {{50, 30, Back}, {90, 57, Back}, {75, 58, Fore}}},
    {"needle 0% has no needle", gkNeedle, 0, {{50, 30, Back}, {50, 10, Back}}},
    {"text kind is the back colour", gkText, 50, {{1, 1, Back}, {50, 30, Back}, {0, 0, Black}}},
};

void PaintKinds()
{
    for (const TPaintCase& c : PaintCases) {
        const std::vector<COLORREF> px = Render(Make(c.Kind, c.Progress, false));
        std::string bad;
        for (const TPixel& p : c.Pixels) {
            const COLORREF got = px[static_cast<size_t>(p.Y * 100 + p.X)];
            if (got != p.Want) {
                char note[80];
                std::snprintf(note, sizeof note, " (%d,%d)=%06lX want %06lX", p.X, p.Y,
                              static_cast<unsigned long>(got), static_cast<unsigned long>(p.Want));
                bad += note;
            }
        }
        Check(bad.empty(), std::string("paint ") + c.Name + bad);
    }
}

// With the percentage shown, every pixel is either as without it or its exact inverse,
// the inverted ones lie in a box around the centre, and there are some.
void PaintText()
{
    for (const TGaugeKind kind : {gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle}) {
        const std::vector<COLORREF> plain = Render(Make(kind, 50, false));
        const std::vector<COLORREF> text = Render(Make(kind, 50, true));
        int inverted = 0, wrong = 0, outside = 0;
        for (int i = 0; i < 6000; ++i) {
            if (text[i] == plain[i]) continue;
            if (text[i] == (plain[i] ^ 0xFFFFFF))
                ++inverted;
            else
                ++wrong;
            const int x = i % 100, y = i / 100;
            if (x < 25 || x > 75 || y < 15 || y > 45) ++outside;
        }
        Check(inverted > 20 && wrong == 0 && outside == 0,
              "text over kind " + std::to_string(kind) + ": " + std::to_string(inverted) +
                  " inverted, " + std::to_string(wrong) + " otherwise changed, " +
                  std::to_string(outside) + " off centre");
    }
}

void Setters()
{
    int repaints = 0;
    TGauge g([&] { ++repaints; });
    Check(g.PercentDone() == 0 && g.MaxValue() == 100 && g.Kind() == gkHorizontalBar &&
              g.ShowText() && g.BorderStyle() == bsSingle && g.BackColor() == White,
          "defaults");
    g.Progress(150);
    Check(g.Progress() == 100, "progress 150 of 100 stores 100");
    g.Progress(-5);
    Check(g.Progress() == 0, "progress -5 stores 0");

    g.MaxValue(1000);
    repaints = 0;
    g.Progress(1);
    Check(repaints == 0, "a step that leaves PercentDone at 0 does not repaint");
    g.Progress(10);
    Check(repaints == 1 && g.PercentDone() == 1, "a step to 1% repaints");
    g.Kind(gkPie);
    g.Kind(gkPie);
    Check(repaints == 2, "setting the same kind twice repaints once");

    struct TRangeCase {
        const char* Name;
        std::function<void(TGauge&)> Set;
        const char* Message;
    };
    const TRangeCase ranges[] = {
        {"MinValue above MaxValue", [](TGauge& G) { G.MinValue(101); },
         "\u503C\u5FC5\u987B\u4ECB\u4E8E -2147483647 \u4E0E 99 \u4E4B\u95F4"},
        {"MaxValue below MinValue", [](TGauge& G) { G.MaxValue(-1); },
         "\u503C\u5FC5\u987B\u4ECB\u4E8E 1 \u4E0E 2147483647 \u4E4B\u95F4"},
    };
    for (const TRangeCase& c : ranges) {
        TGauge fresh;
        std::string message;
        try {
            c.Set(fresh);
        } catch (const EInvalidOperation& e) {
            message = e.what();
        }
        Check(message == c.Message && fresh.MinValue() == 0 && fresh.MaxValue() == 100,
              std::string(c.Name) + " raises \"" + message + "\"");
        TGauge loading;
        loading.Loading = true;
        c.Set(loading);
        Check(loading.MinValue() != 0 || loading.MaxValue() != 100,
              std::string(c.Name) + " is taken while loading");
    }

    TGauge empty;
    empty.MaxValue(0);
    Check(empty.PercentDone() == 0, "MinValue = MaxValue is 0%");
    TGauge wide;
    wide.MinValue(-2147483647);
    wide.MaxValue(2147483647);
    wide.Progress(0);
    Check(wide.PercentDone() == 50, "the whole 32-bit range: 0 is 50%");
    TGauge raised;
    raised.Progress(30);
    raised.MinValue(50);
    Check(raised.Progress() == 50, "raising MinValue above Progress raises Progress");
    raised.MaxValue(60);
    raised.Progress(60);
    raised.MaxValue(55);
    Check(raised.Progress() == 55, "lowering MaxValue below Progress lowers Progress");
}

} // namespace

int main()
{
    PaintKinds();
    PaintText();
    Setters();
    std::printf("%s\n", failures ? "gauge: FAILED" : "gauge: all passed");
    return failures ? 1 : 0;
}
