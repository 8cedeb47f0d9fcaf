// Tmain: the progress window of one call of the export. It owns the TUnZip component
// that does the work and the overwrite dialog of the run. Shown modally, it starts the
// extraction from a one-shot timer a second after it appears; a run that ends normally
// closes it, a failed one leaves it open until the user closes it.
#pragma once

#include "FileExtDlg.h"
#include "FrontWin.h"
#include "Gauges.h"

#include "qvrUnZip.h"

#include <memory>
#include <string>

namespace front {

class Tmain {
public:
    // Control identifiers, for hosts and tests that look for them.
    enum : int { idLabel1 = 101, idLabel2, idLabel3, idLabel4, idLabel5, idAnimate1 };

    // FormCreate: the designed window, hidden, owned by Owner (may be null).
    explicit Tmain(HWND Owner);
    ~Tmain();
    Tmain(const Tmain&) = delete;
    Tmain& operator=(const Tmain&) = delete;

    // The compact layout: Message on one line above the total bar and the animation.
    void PrepareWindow(const std::wstring& Message);
    // What the run extracts and how; PrepareWindow resets RecurseDirs and AskOverwrite.
    void SetRun(const std::string& ArchiveName, const std::string& DestDir, bool RecurseDirs,
                bool UseStoredDirs, bool AskOverwrite);
    // Shows the window until it is closed and returns the result of the run: False when
    // it failed or never began.
    bool ShowModal();

    LRESULT WndProc(UINT Msg, WPARAM W, LPARAM L);
    HWND FHandle = nullptr;

private:
    void FormShow();
    void Timer1Timer();
    void RunExtraction(const std::string& ArchiveName, const std::string& DestDir,
                       bool RecurseDirs);
    void Close() { FModalResult = IDCANCEL; }
    void UnZipBegin(const std::string& FileName, bool& Extract);
    void UnZipProgress(uint8_t ProgressByFile, uint8_t ProgressByArchive);
    void UnZipOnFileExists(TZipCommon& Sender, const std::string& FileName,
                           std::string& NewFileName, TOverwriteMode& OverwriteMode);
    void InvalidateGauge(const TGauge& Gauge) const;
    void Paint();
    HWND Control(int Id) const { return GetDlgItem(FHandle, Id); }

    TFont FFormFont;
    TFont FHeadingFont;
    TGauge Gauge1, Gauge2;
    TUnZip UnZip;
    std::unique_ptr<TDlg> Dlg;
    int FModalResult = 0;

    bool FResult = false;
    bool FAskOverwrite = false;
    std::string FDestDir;
    std::string FArchiveName;
    bool FRecurseDirs = false;
    bool FUseStoredDirs = true;
};

} // namespace front
