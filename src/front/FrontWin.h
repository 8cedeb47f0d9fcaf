// Win32 pieces the windows of Unspool.dll share: UTF-16 texts, fonts by face name,
// window classes bound to C++ objects, the message pump and the modal loop.
//
// The front end is Windows by nature and calls the system directly; the component it
// drives reaches the system only through src/platform.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace front {

// UTF-8 (the component's strings) as UTF-16 for the "W" window calls.
std::wstring Widen(std::string_view Text);

// The module the DLL's code lives in: window classes are registered for it.
HINSTANCE ModuleInstance();

// An owned GDI object; deleted with the owner.
template <class H> class TGdiObject {
public:
    explicit TGdiObject(H Handle = nullptr) : FHandle(Handle) {}
    ~TGdiObject()
    {
        if (FHandle) DeleteObject(FHandle);
    }
    TGdiObject(const TGdiObject&) = delete;
    TGdiObject& operator=(const TGdiObject&) = delete;
    H Get() const { return FHandle; }

private:
    H FHandle;
};
using TFont = TGdiObject<HFONT>;
using TBrush = TGdiObject<HBRUSH>;

// A font by face name and height in pixels (negative: the character height, as forms
// give it). Where the face is not installed the system's default GUI face is taken,
// at the same height and weight.
HFONT MakeFont(const wchar_t* Face, int Height, bool Bold, BYTE Charset);

// Pixel width and height of Text drawn with Font.
SIZE TextExtent(HFONT Font, std::wstring_view Text);

// Dispatches every pending message of this thread's queue and returns. A WM_QUIT is
// put back for the loop that owns it.
void ProcessMessages();

// Shows Window and runs a message loop until Result becomes non-zero; the other windows
// of the thread (the host's among them) are disabled meanwhile and enabled again before
// Window is hidden, so activation goes back to them. A WM_QUIT ends the loop too, with
// Result 2 (cancel), and is put back for the host's own loop.
void ShowModal(HWND Window, int& Result);

// Registers a window class of this module whose messages go to T::WndProc of the object
// passed as the creation parameter. Registering twice is harmless.
template <class T> LRESULT CALLBACK FormProc(HWND Wnd, UINT Msg, WPARAM W, LPARAM L)
{
    if (Msg == WM_NCCREATE) {
        auto* self = static_cast<T*>(reinterpret_cast<CREATESTRUCTW*>(L)->lpCreateParams);
        SetWindowLongPtrW(Wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->FHandle = Wnd;
    }
    auto* self = reinterpret_cast<T*>(GetWindowLongPtrW(Wnd, GWLP_USERDATA));
    return self ? self->WndProc(Msg, W, L) : DefWindowProcW(Wnd, Msg, W, L);
}
void RegisterFormClass(const wchar_t* Name, WNDPROC Proc);

// A place on a form as forms give it: left, top, width, height in client pixels.
struct TBounds {
    int Left, Top, Width, Height;
};

// A child control at a form position, with its font.
HWND CreateControl(HWND Parent, const wchar_t* Class, const wchar_t* Text, DWORD Style,
                   TBounds Bounds, int Id, HFONT Font);

// Outer window size for a wanted client size under the given styles.
SIZE OuterSize(int ClientWidth, int ClientHeight, DWORD Style, DWORD ExStyle);

} // namespace front
