// Message boxes, the dialogs of resources.rc and the message pump, in plain
// Win32. The dialog procedures are named functions: on 32-bit Windows a
// lambda cannot stand where a CALLBACK (stdcall) function is expected.
#include "platform/ui.h"

#include <windows.h>
#include <commctrl.h>
#include <knownfolders.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>
#include <vector>

#include "platform/text.h"
#include "resource_ids.h"
#include "support/files.h"

namespace platform {
namespace {

// The dialog templates are resources of the executable itself.
HINSTANCE resources() { return GetModuleHandleW(nullptr); }

std::wstring window_text(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(window, &text[0], static_cast<int>(text.size()))));
  return text;
}

// Modeless windows whose keyboard messages the pump lets the dialog manager see.
std::vector<HWND>& modeless_windows() {
  static std::vector<HWND> windows;
  return windows;
}

// --- progress window ------------------------------------------------------

INT_PTR CALLBACK progress_procedure(HWND, UINT message, WPARAM, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    // Enter, Escape and Alt+F4 arrive as commands or a close request;
    // nothing in this window ends a stage.
    case WM_COMMAND:
    case WM_CLOSE:
      return TRUE;
    default:
      return FALSE;
  }
}

class Win32ProgressWindow : public ProgressWindow {
 public:
  Win32ProgressWindow()
      : window_(CreateDialogParamW(resources(), MAKEINTRESOURCEW(IDD_PROGRESS), nullptr, progress_procedure, 0)) {
    if (window_ == nullptr) return;
    bar_ = GetDlgItem(window_, IDC_PROGRESS_BAR);
    modeless_windows().push_back(window_);
    ShowWindow(window_, SW_SHOW);
  }
  ~Win32ProgressWindow() override {
    if (window_ == nullptr) return;
    auto& windows = modeless_windows();
    windows.erase(std::remove(windows.begin(), windows.end(), window_), windows.end());
    DestroyWindow(window_);
  }
  Win32ProgressWindow(const Win32ProgressWindow&) = delete;
  Win32ProgressWindow& operator=(const Win32ProgressWindow&) = delete;

  std::wstring caption() const override { return window_ != nullptr ? window_text(window_) : caption_; }
  void set_caption(const std::wstring& caption) override {
    caption_ = caption;
    if (window_ != nullptr) SetWindowTextW(window_, caption.c_str());
  }
  void set_range(std::uint32_t max) override {
    max_ = max;
    position_ = std::min(position_, max_);
    SendMessageW(bar_, PBM_SETRANGE32, 0, static_cast<LPARAM>(max));
    SendMessageW(bar_, PBM_SETSTEP, 1, 0);
  }
  void step() override {
    // The control starts over from 0 when stepped past its end, which would
    // look like the work beginning anew; it stays full instead.
    if (position_ >= max_) return;
    ++position_;
    SendMessageW(bar_, PBM_STEPIT, 0, 0);
  }
  void set_position(std::uint32_t position) override {
    position_ = std::min(position, max_);
    SendMessageW(bar_, PBM_SETPOS, position_, 0);
  }

 private:
  HWND window_;
  HWND bar_ = nullptr;
  std::wstring caption_ = L"Fortschritt / Progress";
  std::uint32_t max_ = 0;
  std::uint32_t position_ = 0;
};

// --- version dialog -------------------------------------------------------

// The shell's folder picker; the chosen folder with a trailing separator,
// empty when none was chosen.
std::wstring pick_download_folder(HWND owner, const std::wstring& title) {
  std::wstring folder;
  IFileOpenDialog* picker = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_ALL, IID_IFileOpenDialog,
                                 reinterpret_cast<void**>(&picker)))) {
    picker->SetOptions(FOS_PICKFOLDERS);
    picker->SetTitle(title.c_str());
    // Owned by the dialog, so that the dialog cannot be used (or a second
    // picker opened) while the picker is up.
    if (SUCCEEDED(picker->Show(owner))) {
      IShellItem* item = nullptr;
      if (SUCCEEDED(picker->GetResult(&item))) {
        PWSTR path = nullptr;
        if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
          folder = path;
          CoTaskMemFree(path);
        }
        item->Release();
      }
    }
    picker->Release();
  }
  return as_folder_path(folder);
}

struct VersionDialogState {
  const VersionQuestion* question;
  VersionAnswer answer;
};

// OK stays disabled without a destination: the archive would otherwise go
// to whatever folder the launcher was started from.
void show_destination(HWND dialog, VersionDialogState& state, const std::wstring& destination) {
  state.answer.destination = destination;
  SetDlgItemTextW(dialog, IDC_DESTINATION, destination.c_str());
  EnableWindow(GetDlgItem(dialog, IDOK), destination.empty() ? FALSE : TRUE);
}

INT_PTR CALLBACK version_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(dialog, DWLP_USER, lparam);
    auto& state = *reinterpret_cast<VersionDialogState*>(lparam);
    const HWND box = GetDlgItem(dialog, IDC_VERSION_BOX);
    for (const std::wstring& entry : state.question->entries) {
      SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    }
    SendMessageW(box, CB_SETCURSEL, 0, 0);
    if (state.question->locked) EnableWindow(box, FALSE);
    show_destination(dialog, state, state.question->destination);
    return FALSE;
  }
  auto* state = reinterpret_cast<VersionDialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
  if (state == nullptr || message != WM_COMMAND) return FALSE;
  switch (LOWORD(wparam)) {
    case IDOK:
      if (state->answer.destination.empty()) return TRUE;
      // CB_ERR (-1) when the text field holds something typed.
      state->answer.selected_index =
          static_cast<int>(SendDlgItemMessageW(dialog, IDC_VERSION_BOX, CB_GETCURSEL, 0, 0));
      state->answer.download_only = IsDlgButtonChecked(dialog, IDC_DOWNLOAD_ONLY) == BST_CHECKED;
      EndDialog(dialog, IDOK);
      return TRUE;
    case IDCANCEL:
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    case IDC_PICK_FOLDER:
      if (HIWORD(wparam) == BN_CLICKED) {
        // A cancelled picker clears the destination.
        show_destination(dialog, *state, pick_download_folder(dialog, state->question->picker_title));
      }
      return TRUE;
    default:
      return FALSE;
  }
}

// --- language dialog ------------------------------------------------------

struct LanguageDialogState {
  const std::vector<std::wstring>* entries;
  int preselected;
  int selected;
};

INT_PTR CALLBACK language_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(dialog, DWLP_USER, lparam);
    const auto& state = *reinterpret_cast<LanguageDialogState*>(lparam);
    const HWND box = GetDlgItem(dialog, IDC_LANGUAGE_BOX);
    for (const std::wstring& entry : *state.entries) {
      SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    }
    SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(state.preselected), 0);
    return TRUE;
  }
  auto* state = reinterpret_cast<LanguageDialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
  if (state == nullptr || message != WM_COMMAND) return FALSE;
  switch (LOWORD(wparam)) {
    case IDOK:
      state->selected = static_cast<int>(SendDlgItemMessageW(dialog, IDC_LANGUAGE_BOX, CB_GETCURSEL, 0, 0));
      EndDialog(dialog, IDOK);
      return TRUE;
    case IDCANCEL:
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

bool is_ascii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// --- the user interface ---------------------------------------------------

class Win32Ui : public Ui {
 public:
  Win32Ui() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);
  }

  bool ask_yes_no(const std::wstring& text, const std::wstring& caption) override {
    return MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_YESNO) == IDYES;
  }

  void show_message(const std::string& text, const std::wstring& caption) override {
    // Messages are UTF-8; the narrow box would show anything beyond ASCII in
    // the ANSI code page, garbled.
    if (is_ascii(text)) {
      MessageBoxA(nullptr, text.c_str(), utf8_from_wide(caption).c_str(), MB_OK);
    } else {
      MessageBoxW(nullptr, wide_from_utf8(text).c_str(), caption.c_str(), MB_OK);
    }
  }

  std::optional<VersionAnswer> ask_version(const VersionQuestion& question) override {
    VersionDialogState state{&question, {}};
    const INT_PTR result = DialogBoxParamW(resources(), MAKEINTRESOURCEW(IDD_VERSION_SELECTION), nullptr,
                                           version_procedure, reinterpret_cast<LPARAM>(&state));
    if (result != IDOK) return std::nullopt;
    return state.answer;
  }

  std::optional<int> ask_language(const std::vector<std::wstring>& entries, int preselected) override {
    LanguageDialogState state{&entries, preselected, -1};
    const INT_PTR result = DialogBoxParamW(resources(), MAKEINTRESOURCEW(IDD_LANGUAGE_SELECTION), nullptr,
                                           language_procedure, reinterpret_cast<LPARAM>(&state));
    if (result != IDOK) return std::nullopt;
    return state.selected;
  }

  std::unique_ptr<ProgressWindow> open_progress_window() override { return std::make_unique<Win32ProgressWindow>(); }

  void pump_messages(unsigned max_messages) override {
    for (unsigned i = 0; i < max_messages; ++i) {
      MSG message;
      if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) continue;
      if (message.message == WM_QUIT) {
        // Taken off the queue only to look at it: the quit request stays.
        PostQuitMessage(0);
        break;
      }
      const auto& windows = modeless_windows();
      const bool dialog_message = std::any_of(windows.begin(), windows.end(),
                                              [&message](HWND window) { return IsDialogMessageW(window, &message); });
      if (!dialog_message) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
    }
  }
};

}  // namespace

std::unique_ptr<Ui> make_window_ui() { return std::make_unique<Win32Ui>(); }

// A GUI program has no terminal; the launcher never asks on one here.
bool standard_input_is_terminal() { return false; }
bool standard_error_is_terminal() { return false; }

namespace {
class NoTerminal : public Terminal {
 public:
  std::optional<std::string> read_line() override { return std::nullopt; }
  void write(const std::string&) override {}
};
}  // namespace

Terminal& standard_terminal() {
  static NoTerminal terminal;
  return terminal;
}

std::uint16_t user_ui_language() { return GetUserDefaultUILanguage(); }

std::wstring downloads_folder() {
  PWSTR path = nullptr;
  std::wstring folder;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Downloads, 0, nullptr, &path))) folder = path;
  CoTaskMemFree(path);
  return folder;
}

}  // namespace platform
