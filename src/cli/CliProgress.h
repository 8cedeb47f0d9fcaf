// The terminal progress bar: one line on standard error, redrawn only when what it
// shows changes, so a run of many small files costs nothing noticeable.
#pragma once

#include <cstdint>
#include <string>

class TProgressBar {
public:
    explicit TProgressBar(bool Enabled);
    ~TProgressBar();
    void SetFile(const std::string& Name);
    void Update(uint8_t ByArchive);
    // Clears the bar before another line is printed.
    void Clear();
    bool Enabled() const { return FEnabled; }

private:
    void Draw();

    bool FEnabled;
    bool FShown = false;
    int FPercent = -1;
    std::string FFile;
};
