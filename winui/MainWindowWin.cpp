#include "MainWindowWin.h"

#include <commdlg.h>

#include <utility>
#include <vector>

#include "InfoBoxWin.h"
#include "MemDebugWin.h"
#include "WinText.h"
#include "app/Settings.h"
#include "app/WindowSettings.h"
#include "filters/FilterActions.h"
#include "resource.h"

namespace kvx::winui {

namespace ctl = capture::ctl;

namespace {

constexpr const wchar_t* kCaption = L"KvxLog Plus";
constexpr int kStatusBarId = 1100;

// The tree of each showTree index, and the button that shows it.
constexpr std::array<int, 4> kTreeIds = {IDC_EVENT_TREE, IDC_LOG_TREE, IDC_MESSAGE_TREE,
                                         IDC_NV_TREE};
constexpr std::array<int, 4> kTreeButtons = {IDC_EVENT_MASK, IDC_LOG_ITEM_MASK, IDC_MESSAGE_MASK,
                                             IDC_NV_ITEMS};
// Radio buttons that form one choice: checking one clears the other.
constexpr std::array<std::pair<int, int>, 2> kRadioPairs = {
    {{ctl::kUnitMb, ctl::kUnitMinutes}, {ctl::kSourceFile, ctl::kSourceGui}}};

// "Name|pattern|Name|pattern||" as the dialogs spell their filters, into the API's
// zero-separated list.
std::wstring filterList(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) out.push_back(c == L'|' ? L'\0' : c);
    out.push_back(L'\0');
    out.push_back(L'\0');
    return out;
}

}  // namespace

std::array<int, 4> programFileVersion() {
    std::array<int, 4> version{};
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return version;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return version;
    std::vector<unsigned char> data(size);
    if (!GetFileVersionInfoW(path, 0, size, data.data())) return version;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoLength = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &infoLength) ||
        info == nullptr || infoLength < sizeof(VS_FIXEDFILEINFO)) {
        return version;
    }
    version = {static_cast<int>(HIWORD(info->dwFileVersionMS)),
               static_cast<int>(LOWORD(info->dwFileVersionMS)),
               static_cast<int>(HIWORD(info->dwFileVersionLS)),
               static_cast<int>(LOWORD(info->dwFileVersionLS))};
    return version;
}

// ---- construction ----------------------------------------------------------------------------

MainWindowWin::MainWindowWin(HINSTANCE instance, Options options)
    : app::PostedWindow([this] {
          if (HWND target = postTarget_.load()) PostMessageW(target, kRunPostedMessage, 0, 0);
      }),
      instance_(instance),
      options_(std::move(options)) {
    settingsLocation_ =
        options_.settingsLocation ? *options_.settingsLocation : app::settingsPath();
    full_ = app::fullWindowOption(options_.commandLine);
}

MainWindowWin::~MainWindowWin() {
    // Stops a capture still running and joins its threads while the engine still exists.
    dialog_.reset();
    memDebug_.reset();
    infoBox_.reset();
    if (stateImages_ != nullptr) ImageList_Destroy(stateImages_);
}

INT_PTR MainWindowWin::run() {
    // The dialog runs in a message loop of our own rather than DialogBox's: the Info Box and
    // the memory-dump tool are modeless dialogs, and only a loop that gives their messages to
    // IsDialogMessage lets Tab, Return and Escape work in them.
    HWND window = CreateDialogParamW(instance_, MAKEINTRESOURCEW(IDD_MAIN), nullptr, dialogProc,
                                     reinterpret_cast<LPARAM>(this));
    if (window == nullptr) return -1;
    ShowWindow(window, SW_SHOWDEFAULT);
    if (options_.onShown) {
        // After the show; the first paint is forced here.
        post([this] {
            UpdateWindow(hwnd_);
            options_.onShown(*this);
        });
    }
    MSG msg;
    while (!ended_ && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        HWND dialogs[] = {infoBox_ ? infoBox_->handle() : nullptr,
                          memDebug_ ? memDebug_->handle() : nullptr, hwnd_};
        bool taken = false;
        for (HWND d : dialogs) {
            if (d != nullptr && IsDialogMessageW(d, &msg)) {
                taken = true;
                break;
            }
        }
        if (!taken) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    DestroyWindow(hwnd_);
    return IDCANCEL;
}

INT_PTR CALLBACK MainWindowWin::dialogProc(HWND hwnd, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<MainWindowWin*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->hwnd_ = hwnd;
        self->onInitDialog();
        return TRUE;
    }
    auto* self = reinterpret_cast<MainWindowWin*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    return self != nullptr ? self->handle(message, wParam, lParam) : FALSE;
}

void MainWindowWin::onInitDialog() {
    HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));

    icon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDI_PROGRAM), IMAGE_ICON,
                                          GetSystemMetrics(SM_CXICON),
                                          GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
    smallIcon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDI_PROGRAM),
                                               IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

    engine_ = std::make_unique<dm::KvxLog>();
    app::MainDialog::Options dialogOptions;
    dialogOptions.version = programFileVersion();
    dialogOptions.useBuildVersion = false;
    dialog_ = std::make_unique<app::MainDialog>(*this, *engine_, options_.commandLine,
                                                dialogOptions);
    setText(IDC_VERSION, app::versionText(dialog_->version()));

    layOut();
    if (full_) {
        enable(ctl::kSourceFile, true);
        enable(ctl::kSourceGui, true);
    }

    infoBox_ = std::make_unique<InfoBoxWin>(instance_);
    memDebug_ = std::make_unique<MemDebugWin>(instance_);
    dialog_->setInfoSink([this](const dm::InfoNotification& note) {
        infoBox_->setField(note.field, note.text);
    });
    dialog_->setStateObserver([this](app::UiState) { updateSaveFilters(); });
    dialog_->setMemoryDumpHook([this] { memDebug_->show(); });
    dialog_->setSettingsSaver([this] { SaveSettings(); });

    dialog_->OnInitDialog(options_.detectPorts);
    fillPortCombo();

    // The check images: the strip of bitmap 140 twice, so that state indexes 1, 2 and 3 show
    // the check, the dot and the empty circle.
    stateImages_ = ImageList_LoadImageW(instance_, MAKEINTRESOURCEW(IDB_CHECKS), 16, 3,
                                        RGB(255, 255, 255), IMAGE_BITMAP, LR_DEFAULTCOLOR);
    if (HBITMAP strip = static_cast<HBITMAP>(LoadImageW(instance_, MAKEINTRESOURCEW(IDB_CHECKS),
                                                        IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR))) {
        ImageList_AddMasked(stateImages_, strip, RGB(255, 255, 255));
        DeleteObject(strip);
    }
    filters::FilterSet& set = dialog_->filters();
    filters::FilterTable* tables[] = {&set.eventTable(), &set.logTable(), &set.messageTable(),
                                      &set.nvTable()};
    for (size_t i = 0; i < trees_.size(); ++i) {
        HWND tree = item(kTreeIds[i]);
        TreeView_SetImageList(tree, stateImages_, TVSIL_STATE);
        trees_[i] = std::make_unique<FilterTreeWin>(tree, *tables[i]);
    }

    LoadSettings();
    for (auto& tree : trees_) tree->fill();
    dialog_->OnFilterSourceClicked();
    updateSaveFilters();
    showTree(1);

    // Calls posted before the window existed wait in the queue: run them now.
    postTarget_ = hwnd_;
    PostMessageW(hwnd_, kRunPostedMessage, 0, 0);
    SetCursor(previous);
}

void MainWindowWin::layOut() {
    RECT window{};
    GetWindowRect(hwnd_, &window);
    int width = window.right - window.left;
    if (!full_) {
        // Narrow: the right edge 8 pixels left of the "Filter Source" group. What lies beyond
        // stays out of the keyboard's reach too: Tab must not tick the raw-file box unseen.
        RECT group{};
        GetWindowRect(item(IDC_FILTER_SOURCE_GROUP), &group);
        width = group.left - 8 - window.left;
        for (HWND child = GetWindow(hwnd_, GW_CHILD); child != nullptr;
             child = GetWindow(child, GW_HWNDNEXT)) {
            RECT r{};
            GetWindowRect(child, &r);
            if (r.left >= group.left - 8) {
                SetWindowLongPtrW(child, GWL_STYLE,
                                  GetWindowLongPtrW(child, GWL_STYLE) & ~WS_TABSTOP);
            }
        }
    }

    status_ = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, hwnd_,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(kStatusBarId)),
                              instance_, nullptr);
    RECT bar{};
    GetWindowRect(status_, &bar);
    const int barHeight = bar.bottom - bar.top;
    // The client area holds the controls (down to the button row and a margin) and the bar.
    RECT below = {0, 0, 0, 299 + 4};
    MapDialogRect(hwnd_, &below);
    RECT client{};
    GetClientRect(hwnd_, &client);
    const int wantClient = below.bottom + barHeight;
    const int height = window.bottom - window.top + (wantClient - client.bottom);
    SetWindowPos(hwnd_, nullptr, 0, 0, width, height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW);
    SendMessageW(status_, WM_SIZE, 0, 0);
    GetClientRect(hwnd_, &client);
    int parts[1] = {client.right};
    SendMessageW(status_, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(parts));
}

void MainWindowWin::fillPortCombo() {
    HWND combo = item(ctl::kPortCombo);
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    const auto& rows = dialog_->portRows();
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(rows[0].label).c_str()));
    if (rows[1].present) {
        SendMessageW(combo, CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(wide(rows[1].label).c_str()));
    }
    SendMessageW(combo, CB_SETCURSEL, 0, 0);
    rememberText(ctl::kPortCombo, doGetText(ctl::kPortCombo));
}

// ---- messages --------------------------------------------------------------------------------

INT_PTR MainWindowWin::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kRunPostedMessage:
            runPosted();
            return TRUE;
        case WM_COMMAND:
            onCommand(LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_TIMER:
            if (!ended_ && dialog_ && timers_.count(static_cast<int>(wParam)) != 0) {
                dialog_->OnTimer(static_cast<int>(wParam));
            }
            return TRUE;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, onNotifyMessage(*header));
            return TRUE;
        }
        case WM_PAINT:
            return onPaint() ? TRUE : FALSE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(icon_);
        case WM_SIZE:
            if (status_ != nullptr) SendMessageW(status_, WM_SIZE, 0, 0);
            return FALSE;
        default:
            return FALSE;
    }
}

void MainWindowWin::onCommand(int id, int code) {
    if (ended_ || !dialog_) return;
    if (code == EN_CHANGE) {
        rememberText(id, doGetText(id));
        return;
    }
    if (id == ctl::kPortCombo) {
        if (code == CBN_SELCHANGE) {
            rememberText(id, doGetText(id));
            dialog_->OnPortSelectionChanged();
        }
        return;
    }
    if (code != BN_CLICKED) return;
    switch (id) {
        case IDOK: dialog_->OnStart(); return;
        case IDCANCEL: dialog_->OnExit(); return;  // Exit, Escape and the close box
        case IDC_STOP: dialog_->OnStop(); return;
        case IDC_BROWSE_FILTER: OnBrowseFilter(); return;
        case IDC_BROWSE_LOG: OnBrowseLog(); return;
        case IDC_MULTIPLE_FILES:
            rememberCheck(id, doIsChecked(id));
            dialog_->OnMultipleFilesClicked();
            return;
        case IDC_UNIT_MB:
        case IDC_UNIT_MINUTES:
        case IDC_RAW_BOX:
            rememberCheck(ctl::kUnitMb, doIsChecked(ctl::kUnitMb));
            rememberCheck(ctl::kUnitMinutes, doIsChecked(ctl::kUnitMinutes));
            rememberCheck(ctl::kRawFileBox, doIsChecked(ctl::kRawFileBox));
            return;
        case IDC_SOURCE_FILE:
        case IDC_SOURCE_GUI:
            rememberCheck(ctl::kSourceFile, doIsChecked(ctl::kSourceFile));
            rememberCheck(ctl::kSourceGui, doIsChecked(ctl::kSourceGui));
            dialog_->OnFilterSourceClicked();
            updateSaveFilters();
            return;
        case IDC_SAVE_FILTERS: OnSaveFilters(); return;
        case IDC_LOAD_FILTERS: OnLoadFilters(); return;
        case IDC_EXPORT: OnExport(); return;
        case IDC_SHOW_INFO: infoBox_->show(); return;
        case IDC_RAW_BROWSE: OnBrowseRaw(); return;
        case IDC_MEMDEBUG: memDebug_->show(); return;
        default: break;
    }
    for (size_t i = 0; i < kTreeButtons.size(); ++i) {
        if (kTreeButtons[i] == id) showTree(static_cast<int>(i));
    }
}

LRESULT MainWindowWin::onNotifyMessage(const NMHDR& header) {
    FilterTreeWin* view = tree(static_cast<int>(header.idFrom));
    if (view == nullptr || header.hwndFrom != view->handle()) return 0;
    if (header.code == NM_CUSTOMDRAW) {
        return view->onCustomDraw(reinterpret_cast<NMTVCUSTOMDRAW&>(const_cast<NMHDR&>(header)));
    }
    if (header.code == TVN_ITEMEXPANDINGW) {
        view->onExpanding(reinterpret_cast<const NMTREEVIEWW&>(header));
    } else if (header.code == NM_CLICK) {
        HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        view->onClick();
        SetCursor(previous);
    }
    return 0;
}

bool MainWindowWin::onPaint() {
    if (!IsIconic(hwnd_)) return false;  // the dialog's own painting
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd_, &ps);
    SendMessageW(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client{};
    GetClientRect(hwnd_, &client);
    const int cx = GetSystemMetrics(SM_CXICON);
    const int cy = GetSystemMetrics(SM_CYICON);
    DrawIcon(dc, (client.right - cx + 1) / 2, (client.bottom - cy + 1) / 2, icon_);
    EndPaint(hwnd_, &ps);
    return true;
}

// ---- app::PostedWindow -----------------------------------------------------------------------

bool MainWindowWin::doIsChecked(int id) {
    return IsDlgButtonChecked(hwnd_, id) == BST_CHECKED;
}

void MainWindowWin::doSetChecked(int id, bool checked) {
    CheckDlgButton(hwnd_, id, checked ? BST_CHECKED : BST_UNCHECKED);
    if (!checked) return;
    for (const auto& [first, second] : kRadioPairs) {
        if (id == first) CheckDlgButton(hwnd_, second, BST_UNCHECKED);
        if (id == second) CheckDlgButton(hwnd_, first, BST_UNCHECKED);
    }
}

std::string MainWindowWin::doGetText(int id) {
    HWND control = item(id);
    if (id == ctl::kPortCombo) {
        const LRESULT row = SendMessageW(control, CB_GETCURSEL, 0, 0);
        if (row == CB_ERR) return {};
        const LRESULT length = SendMessageW(control, CB_GETLBTEXTLEN, row, 0);
        if (length == CB_ERR) return {};
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        SendMessageW(control, CB_GETLBTEXT, row, reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<size_t>(length));
        return narrow(text);
    }
    return windowText(control);
}

void MainWindowWin::doSetText(int id, const std::string& text) {
    HWND control = item(id);
    if (id == ctl::kPortCombo) {
        const std::wstring t = wide(text);
        LRESULT row = SendMessageW(control, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                   reinterpret_cast<LPARAM>(t.c_str()));
        if (row == CB_ERR) {
            row = SendMessageW(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(t.c_str()));
        }
        SendMessageW(control, CB_SETCURSEL, static_cast<WPARAM>(row), 0);
        return;
    }
    setWindowText(control, text);
}

void MainWindowWin::doEnable(int id, bool on) {
    if (id == IDC_SHOW_CDMA) on = false;  // there is no CDMA/EVDO panel
    if (HWND control = item(id)) EnableWindow(control, on ? TRUE : FALSE);
}

void MainWindowWin::doSetStatus(const std::string& text) {
    if (status_ != nullptr) {
        SendMessageW(status_, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(wide(text).c_str()));
    }
}

void MainWindowWin::doMessageBox(const std::string& text) {
    // Shown from the queue, after the handler that asked for it has returned: the box's own
    // message loop then never runs a timer or a posted call inside a handler of the dialog.
    post([this, text] {
        if (!ended_) MessageBoxW(hwnd_, wide(text).c_str(), kCaption, MB_OK);
    });
}

void MainWindowWin::doStartTimer(int id, int periodMs) {
    if (SetTimer(hwnd_, static_cast<UINT_PTR>(id), static_cast<UINT>(periodMs), nullptr) != 0) {
        timers_.insert(id);
    }
}

void MainWindowWin::doStopTimer(int id) {
    KillTimer(hwnd_, static_cast<UINT_PTR>(id));
    timers_.erase(id);
}

bool MainWindowWin::timerRunning(int id) const {
    return timers_.count(id) != 0;
}

void MainWindowWin::onTimer(int id) {
    if (!ended_ && dialog_) dialog_->OnTimer(id);
}

void MainWindowWin::doClose() {
    if (ended_) return;
    ended_ = true;
    for (int id : timers_) KillTimer(hwnd_, static_cast<UINT_PTR>(id));
    timers_.clear();
    if (infoBox_) ShowWindow(infoBox_->handle(), SW_HIDE);
    if (memDebug_) ShowWindow(memDebug_->handle(), SW_HIDE);
    ShowWindow(hwnd_, SW_HIDE);
    PostMessageW(hwnd_, WM_NULL, 0, 0);  // the loop sees ended_ at its next message
}

void MainWindowWin::onNotify(const dm::InfoNotification& note) {
    if (!ended_ && dialog_) dialog_->OnEngineNotify(note);
}

// ---- settings --------------------------------------------------------------------------------

void MainWindowWin::LoadSettings() {
    filters::FilterReporter reporter;
    reporter.messageBox = [this](const std::string& text) { messageBox(text); };
    app::loadWindowSettings(settingsLocation_, *dialog_, *this, reporter);
}

void MainWindowWin::SaveSettings() {
    app::saveWindowSettings(settingsLocation_, *dialog_, *this);
}

// ---- files -----------------------------------------------------------------------------------

std::optional<std::string> MainWindowWin::chooseFile(const FileRequest& request) {
    std::vector<wchar_t> path(4096, L'\0');
    const size_t n = std::min(request.fileName.size(), path.size() - 1);
    std::copy_n(request.fileName.begin(), n, path.begin());
    const std::wstring filter = filterList(request.filter);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = filter.c_str();
    ofn.lpstrFile = path.data();
    ofn.nMaxFile = static_cast<DWORD>(path.size());
    ofn.lpstrDefExt = request.defaultSuffix.empty() ? nullptr : request.defaultSuffix.c_str();
    ofn.Flags = OFN_HIDEREADONLY | OFN_EXPLORER | OFN_NOCHANGEDIR;
    if (request.save) {
        if (request.confirmOverwrite) ofn.Flags |= OFN_OVERWRITEPROMPT;
        if (!GetSaveFileNameW(&ofn)) return std::nullopt;
    } else {
        ofn.Flags |= OFN_FILEMUSTEXIST;
        if (!GetOpenFileNameW(&ofn)) return std::nullopt;
    }
    return narrow(path.data());
}

void MainWindowWin::OnBrowseLog() {
    FileRequest r;
    r.save = true;
    r.fileName = L"KvxLog";
    r.defaultSuffix = L"kvx";
    r.filter = L"Log Files: (*.kvx)|*.kvx|All Files: (*.*)|*.*||";
    r.confirmOverwrite = true;
    if (auto path = chooseFile(r)) setText(ctl::kLogPath, *path);
}

void MainWindowWin::OnBrowseFilter() {
    FileRequest r;
    r.fileName = wide(getText(ctl::kFilterPath));
    r.defaultSuffix = L"sqf";
    r.filter = L"Filter Files: (*.sqf)|*.sqf|All Files: (*.*)|*.*|";
    if (auto path = chooseFile(r)) setText(ctl::kFilterPath, *path);
}

void MainWindowWin::OnBrowseRaw() {
    FileRequest r;
    r.filter = L"All Files: (*.*)|*.*||";
    if (auto path = chooseFile(r)) setText(ctl::kRawFilePath, *path);
}

void MainWindowWin::OnSaveFilters() {
    if (dialog_->state() != app::UiState::Idle) return;
    FileRequest r;
    r.save = true;
    r.fileName = L"KvxLogPlus_filter";
    r.defaultSuffix = L"sqf";
    r.filter = L"KVX Filter Files: (*.sqf)|*.sqf||";
    r.confirmOverwrite = true;
    const auto path = chooseFile(r);
    if (!path) return;
    filters::FilterReporter reporter;
    reporter.messageBox = [this](const std::string& text) { messageBox(text); };
    reporter.status = [this](const std::string& text) { setStatus(text); };
    HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    filters::saveFilters(*path, *engine_, dialog_->filters(), dialog_->readDevice(),
                         getText(ctl::kCustomPort), reporter);
    SetCursor(previous);
}

void MainWindowWin::OnLoadFilters() {
    FileRequest r;
    r.fileName = L"KvxLogPlus_filter";
    r.defaultSuffix = L"sqf";
    r.filter = L"KVX Filter Files: (*.sqf)|*.sqf|Qualcomm Filter Files: (*.dmc)|*.dmc||";
    const auto path = chooseFile(r);
    if (!path) return;
    filters::FilterReporter reporter;
    reporter.messageBox = [this](const std::string& text) { messageBox(text); };
    HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    filters::loadFilters(*path, dialog_->filters(), reporter);
    refreshTrees();
    SetCursor(previous);
}

void MainWindowWin::OnExport() {
    FileRequest r;
    r.save = true;
    r.fileName = L"*.txt";
    r.defaultSuffix = L"txt";
    r.filter = L"Text Files: (*.txt)|*.txt|All Files: (*.*)|*.*||";
    if (auto path = chooseFile(r)) {
        // A file the disk did not take whole must not pass for an export.
        if (!filters::exportFilters(*path, dialog_->filters())) {
            messageBox("Could not write " + *path);
        }
    }
}

// ---- trees -----------------------------------------------------------------------------------

void MainWindowWin::updateSaveFilters() {
    // Saving connects the engine itself: never while a capture holds it.
    enable(IDC_SAVE_FILTERS,
           isChecked(ctl::kSourceGui) && dialog_ && dialog_->state() == app::UiState::Idle);
}

void MainWindowWin::showTree(int index) {
    for (int id : kTreeIds) ShowWindow(item(id), SW_HIDE);
    for (int b : kTreeButtons) enable(b, true);
    if (index < 0 || index >= static_cast<int>(kTreeIds.size())) return;
    ShowWindow(item(kTreeIds[static_cast<size_t>(index)]), SW_SHOW);
    enable(kTreeButtons[static_cast<size_t>(index)], false);
}

FilterTreeWin* MainWindowWin::tree(int controlId) {
    for (size_t i = 0; i < kTreeIds.size(); ++i) {
        if (kTreeIds[i] == controlId) return trees_[i].get();
    }
    return nullptr;
}

void MainWindowWin::refreshTrees() {
    for (auto& t : trees_) t->refresh();
}

}  // namespace kvx::winui
