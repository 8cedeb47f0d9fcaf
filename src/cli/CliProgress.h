// The terminal progress line: bytes done of the total, rate, time left and the file
// being written, on standard error. It is redrawn at most ten times a second (and when
// the file changes), so a run of many small files costs nothing noticeable, and cleared
// before any other line is printed.
#pragma once

#include <cstdint>
#include <string>

class TProgressBar {
public:
    explicit TProgressBar(bool Enabled);
    ~TProgressBar();
    void SetFile(const std::string& Name);
    void Update(int64_t Done, int64_t Total);
    // Clears the line before another line is printed.
    void Clear();
    bool Enabled() const { return FEnabled; }
    // The time between Pause and Resume (a question to the user) counts neither for the
    // rate nor for the time left.
    void Pause();
    void Resume();

private:
    void Draw();

    bool FEnabled;
    bool FShown = false;
    int64_t FDone = 0;
    int64_t FTotal = 0;
    uint32_t FStart;
    uint32_t FLastDraw = 0;
    uint32_t FPausedAt = 0;
    int FPauses = 0;
    std::string FFile;
};

// "1.5 MB", "830 kB", "12 B".
std::string HumanBytes(int64_t N);
