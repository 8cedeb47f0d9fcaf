#include "CliProgress.h"

#include "qvrPlatform.h"

#include <cstdio>

TProgressBar::TProgressBar(bool Enabled) : FEnabled(Enabled) {}

TProgressBar::~TProgressBar() { Clear(); }

void TProgressBar::SetFile(const std::string& Name)
{
    if (!FEnabled) return;
    FFile = Name;
    Draw();
}

void TProgressBar::Update(uint8_t ByArchive)
{
    if (!FEnabled || ByArchive == FPercent) return;
    FPercent = ByArchive;
    Draw();
}

void TProgressBar::Draw()
{
    const int width = qvrOS::TerminalWidth();
    constexpr int BarWidth = 30;
    const int pct = FPercent < 0 ? 0 : FPercent;
    std::string line = "[";
    const int filled = pct * BarWidth / 100;
    line.append(static_cast<size_t>(filled), '#');
    line.append(static_cast<size_t>(BarWidth - filled), ' ');
    line += "] ";
    char num[16];
    std::snprintf(num, sizeof num, "%3d%% ", pct);
    line += num;
    const int room = width - 1 - static_cast<int>(line.size());
    if (room > 3) {
        std::string f = FFile;
        if (static_cast<int>(f.size()) > room) f = "..." + f.substr(f.size() - (room - 3));
        line += f;
    }
    std::fprintf(stderr, "\r%-*s", width - 1, line.c_str());
    std::fflush(stderr);
    FShown = true;
}

void TProgressBar::Clear()
{
    if (!FEnabled || !FShown) return;
    std::fprintf(stderr, "\r%*s\r", qvrOS::TerminalWidth() - 1, "");
    std::fflush(stderr);
    FShown = false;
}
