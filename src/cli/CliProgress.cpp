#include "CliProgress.h"

#include "qvrPlatform.h"

#include <cstdio>

std::string HumanBytes(int64_t N)
{
    const char* units[] = {"B", "kB", "MB", "GB", "TB"};
    double v = static_cast<double>(N);
    int u = 0;
    while (v >= 1000 && u < 4) {
        v /= 1000;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
    return buf;
}

TProgressBar::TProgressBar(bool Enabled) : FEnabled(Enabled), FStart(qvrOS::TickCount()) {}

TProgressBar::~TProgressBar() { Clear(); }

void TProgressBar::SetFile(const std::string& Name)
{
    if (!FEnabled) return;
    FFile = Name;
    Draw();
}

void TProgressBar::Update(int64_t Done, int64_t Total)
{
    if (!FEnabled) return;
    FDone = Done;
    FTotal = Total;
    // At most ten lines a second, but the last one always shows.
    if (Done < Total && static_cast<uint32_t>(qvrOS::TickCount() - FLastDraw) < 100) return;
    Draw();
}

void TProgressBar::Pause()
{
    if (FPauses++ == 0) FPausedAt = qvrOS::TickCount();
}

void TProgressBar::Resume()
{
    if (FPauses == 0 || --FPauses > 0) return;
    FStart += static_cast<uint32_t>(qvrOS::TickCount() - FPausedAt);
}

void TProgressBar::Draw()
{
    const int width = qvrOS::TerminalWidth();
    const uint32_t now = qvrOS::TickCount();
    FLastDraw = now;
    const double seconds = static_cast<uint32_t>(now - FStart) / 1000.0;
    const int pct = FTotal > 0 ? static_cast<int>(FDone * 100 / FTotal) : 0;
    std::string line = HumanBytes(FDone) + " / " + HumanBytes(FTotal);
    char buf[64];
    std::snprintf(buf, sizeof buf, " %3d%%", pct);
    line += buf;
    if (seconds > 0.2 && FDone > 0) {
        const double rate = FDone / seconds;
        line += "  " + HumanBytes(static_cast<int64_t>(rate)) + "/s";
        const long left = static_cast<long>((FTotal - FDone) / rate + 0.5);
        std::snprintf(buf, sizeof buf, "  %ld:%02ld left", left / 60, left % 60);
        line += buf;
    }
    line += "  ";
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
