// TDlg: the question asked before an existing file is replaced. "是(Y)" gives 6, "否(N)"
// 7, "取消(C)" and the close box 2; "不再提示" (do not ask again) is read by the caller
// after each answer and is cleared each time the dialog is shown.
#pragma once

#include "FrontWin.h"

#include <string>

namespace front {

class TDlg {
public:
    // Control identifiers: the buttons carry their results.
    enum : int { idLabel2 = 102, idCheckBox1 = 103 };

    // Made hidden, owned by Owner (which it stays above), always on top.
    explicit TDlg(HWND Owner);
    ~TDlg();
    TDlg(const TDlg&) = delete;
    TDlg& operator=(const TDlg&) = delete;

    // Shows Question modally, centred on the screen, and returns IDYES, IDNO or IDCANCEL.
    int ShowModal(const std::wstring& Question);
    // Whether "不再提示" was ticked when the dialog was answered.
    bool Checked() const;

    LRESULT WndProc(UINT Msg, WPARAM W, LPARAM L);
    HWND FHandle = nullptr;

private:
    void FormActivate();
    void DrawQuestion(const DRAWITEMSTRUCT& Item) const;
    TFont FFont;
    HWND FLabel2 = nullptr;
    HWND FCheckBox1 = nullptr;
    HWND FHint = nullptr;
    HWND FFocus = nullptr;
    int FModalResult = 0;
};

} // namespace front
