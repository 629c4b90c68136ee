#include "windows/win32_dialog.h"

#include <memory>
#include <vector>

namespace win32host {

void Win32ProgressBar::SetRange(std::uint16_t low, std::uint16_t high) {
  ::SendMessageA(m_control, PBM_SETRANGE, 0, MAKELPARAM(low, high));
}

void Win32ProgressBar::SetPosition(std::int32_t position) {
  ::SendMessageA(m_control, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

Win32DialogView::Win32DialogView(HWND dialog, HICON icon)
    : m_dialog(dialog), m_icon(icon), m_progress(::GetDlgItem(dialog, dialog_id::kProgress)) {}

void Win32DialogView::SetItemText(int id, const std::string& text) { ::SetDlgItemTextA(m_dialog, id, text.c_str()); }

std::string Win32DialogView::GetItemText(int id) {
  const int length = ::GetWindowTextLengthA(::GetDlgItem(m_dialog, id));
  std::vector<char> text(static_cast<std::size_t>(length) + 1);
  const UINT copied = ::GetDlgItemTextA(m_dialog, id, text.data(), static_cast<int>(text.size()));
  return std::string(text.data(), copied);
}

void Win32DialogView::EnableItem(int id, bool enable) { ::EnableWindow(::GetDlgItem(m_dialog, id), enable); }

void Win32DialogView::ShowItem(int id, bool show) { ::ShowWindow(::GetDlgItem(m_dialog, id), show ? SW_SHOW : SW_HIDE); }

ui::ProgressBar& Win32DialogView::ProgressItem(int) { return m_progress; }

void Win32DialogView::LimitItemText(int id, int limit) {
  ::SendDlgItemMessageA(m_dialog, id, EM_LIMITTEXT, static_cast<WPARAM>(limit), 0);
}

void Win32DialogView::FocusItem(int id) {
  // As the dialog manager moves the focus, so that the default button follows.
  ::SendMessageA(m_dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(::GetDlgItem(m_dialog, id)), TRUE);
}

void Win32DialogView::SelectItemText(int id, int start, int end) {
  ::SendDlgItemMessageA(m_dialog, id, EM_SETSEL, static_cast<WPARAM>(start), static_cast<LPARAM>(end));
}

void Win32DialogView::ScrollCaretIntoView(int id) { ::SendDlgItemMessageA(m_dialog, id, EM_SCROLLCARET, 0, 0); }

void Win32DialogView::SetWindowIcon(bool large) {
  ::SendMessageA(m_dialog, WM_SETICON, large ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(m_icon));
}

void Win32DialogView::UpdateNow() { ::UpdateWindow(m_dialog); }

void Win32DialogView::BringToForeground() { ::SetForegroundWindow(m_dialog); }

bool Win32DialogView::IsMinimised() { return ::IsIconic(m_dialog) != FALSE; }

void Win32DialogView::PaintMinimisedIcon(int x, int y) {
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(m_dialog, &paint);
  ::SendMessageA(m_dialog, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  ::DrawIcon(dc, x, y, m_icon);
  ::EndPaint(m_dialog, &paint);
}

void Win32DialogView::ClientSize(int* width, int* height) {
  RECT client{};
  ::GetClientRect(m_dialog, &client);
  *width = client.right - client.left;
  *height = client.bottom - client.top;
}

void Win32DialogView::StandardIconSize(int* width, int* height) {
  *width = ::GetSystemMetrics(SM_CXICON);
  *height = ::GetSystemMetrics(SM_CYICON);
}

void Win32DialogView::EndDialog(int result) { ::EndDialog(m_dialog, result); }

host::WindowHandle Win32DialogView::Window() { return FromWindow(m_dialog); }

std::uintptr_t Win32DialogView::ProgramIcon() { return reinterpret_cast<std::uintptr_t>(m_icon); }

namespace {

struct DialogRun {
  BootUtilityDialog* dialog = nullptr;
  HICON icon = nullptr;
  std::unique_ptr<Win32DialogView> view;
};

INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* run = reinterpret_cast<DialogRun*>(::GetWindowLongPtrA(window, DWLP_USER));
  if (message == WM_INITDIALOG) {
    run = reinterpret_cast<DialogRun*>(lParam);
    ::SetWindowLongPtrA(window, DWLP_USER, lParam);
    run->view = std::make_unique<Win32DialogView>(window, run->icon);
    run->dialog->AttachView(run->view.get());
    return run->dialog->OnInitDialog() ? TRUE : FALSE;
  }
  if (run == nullptr) return FALSE;
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        run->dialog->OnOK();
        return TRUE;
      }
      if (LOWORD(wParam) == IDCANCEL) {
        run->dialog->OnCancel();
        return TRUE;
      }
      return FALSE;
    case WM_DEVICECHANGE:
      ::SetWindowLongPtrA(window, DWLP_MSGRESULT,
                          run->dialog->OnDeviceChange(static_cast<std::uint32_t>(wParam),
                                                      static_cast<std::uintptr_t>(lParam))
                              ? TRUE
                              : FALSE);
      return TRUE;
    case WM_PAINT:
      return run->dialog->OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      return static_cast<INT_PTR>(run->dialog->OnQueryDragIcon());
    case WM_DESTROY:
      run->dialog->AttachView(nullptr);
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

int Win32DialogRunner::RunModal(BootUtilityDialog& dialog) {
  DialogRun run;
  run.dialog = &dialog;
  run.icon = ::LoadIconA(m_module, MAKEINTRESOURCEA(dialog_id::kIcon));
  return static_cast<int>(::DialogBoxParamA(m_module, MAKEINTRESOURCEA(dialog_id::kTemplate), nullptr, DialogProc,
                                            reinterpret_cast<LPARAM>(&run)));
}

int RunBootUtility(HINSTANCE module) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  ::InitCommonControlsEx(&controls);
  Win32DialogRunner runner(module);
  BootUtilityApp app(runner);
  app.InitInstance();
  return 0;
}

}  // namespace win32host
