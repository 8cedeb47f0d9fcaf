#include "Unspool.h"

#include "mainform.h"

#include "qvrPlatform.h"

namespace front {

namespace {

// Windows drops the trailing spaces of a path's last step when it opens the archive; the
// destination gets a "\" appended, after which they would stay in a folder's name. Both
// lose them alike.
std::string HostPath(const char* Text)
{
    std::string s = qvrOS::AnsiToUtf8(Text);
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

} // namespace

bool RunUnspools(HWND AppHandle, const char* ArchiveName, const char* DestDir,
                 const char* Message, bool AskOverwrite) noexcept
{
    // Nothing to extract from or into: no window is shown.
    if (!ArchiveName || !*ArchiveName || !DestDir || !*DestDir) return false;
    try {
        // The host's strings are converted once, here; the window and the component
        // work in UTF-8 and UTF-16 from now on.
        const std::string archive = HostPath(ArchiveName);
        std::string dest = HostPath(DestDir);
        if (archive.empty() || dest.empty()) return false;
        if (dest.back() != '\\') dest += '\\';
        const std::wstring message = Widen(qvrOS::AnsiToUtf8(Message ? Message : ""));
        // The windows of this call are owned by AppHandle for the call's duration only;
        // nothing of the host's is changed beyond it.
        Tmain main(AppHandle);
        main.PrepareWindow(message);
        main.SetRun(archive, dest, true, true, AskOverwrite);
        return main.ShowModal();
    } catch (...) {
        // Nothing may unwind into the host, which is not C++.
        return false;
    }
}

} // namespace front

extern "C" BOOLEAN UNSPOOL_API Unspools(HWND AppHandle, const char* ArchiveName,
                                        const char* DestDir, const char* Message)
{
    return front::RunUnspools(AppHandle, ArchiveName, DestDir, Message, false) ? 1 : 0;
}
