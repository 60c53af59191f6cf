// CDialog: a dialog built in code whose controls are addressed by id, with
// data exchange between controls and members, run modally (DoModal, a
// nested event loop that keeps every timer, socket and posted message
// running) or modelessly (Create, ShowWindow).
//
// Life of a window:
// - DoModal / Create make the window and call BuildDialog, where the derived
//   dialog sets its template (SetTemplate) and creates its controls (the
//   Add* helpers, or a member control's Create with this dialog as parent);
//   then OnInitDialog (whose default pushes the members into the controls).
// - A modal dialog is shown after OnInitDialog unless OnInitDialog showed
//   or hid it itself (ShowWindow), so a window can start hidden. Its loop
//   runs until EndDialog; DoModal then destroys the window and returns the
//   EndDialog value. EndDialog inside OnInitDialog returns at once.
// - Commands: the button with id IDOK, Enter (when the focus is on no other
//   push button and there is no default button) and the mapped handler
//   aside, go to OnOK; the button IDCANCEL, Escape and the close box (via
//   WM_CLOSE and OnClose) go to OnCancel. A handler mapped for IDOK or
//   IDCANCEL takes their place. OnOK reads the controls (UpdateData(TRUE))
//   and ends with IDOK when that succeeds; OnCancel ends with IDCANCEL. For
//   a modeless dialog EndDialog only hides it.
// - Destroying a dialog first destroys the dialogs it owns (those created
//   with it as parent).
// - Modal windows are application-modal. DoModal and Create switch off
//   Qt's quit-on-last-window-closed: hiding the last window (to the tray)
//   must not end the program's loops.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QRect>

#include "platform/ui/controls.h"
#include "platform/ui/list_ctrl.h"

class QButtonGroup;
class QEventLoop;
class CDataExchange;

class CDialog : public CWnd {
public:
    explicit CDialog(CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    // IDOK, IDCANCEL or another EndDialog value; -1 when the window exists
    // already.
    INT_PTR DoModal();
    // Makes the window modeless and hidden; FALSE when it exists already.
    BOOL Create(CWnd* pParentWnd = nullptr);
    void EndDialog(int nResult);
    BOOL DestroyWindow() override;

    // TRUE: controls -> members, with validation; FALSE: members -> controls.
    // FALSE when a validation failed: the message is shown, the focus is on
    // the control concerned, and the exchange stopped there (members before
    // it hold the controls' values already).
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    CWnd* GetDlgItem(int nID) const;
    void GotoDlgCtrl(CWnd* pWndCtrl);
    // The id of the control that has (or gets, once the window is active)
    // the keyboard focus; 0 when none.
    int GetFocusId() const;
    BOOL isModalRunning() const { return m_loop != nullptr; }

    // A rectangle in dialog units, in pixels of this dialog.
    QRect MapDialogRect(const DlgRect& r) const;
    // A size given in pixels of the original screen (a list's column
    // width), in pixels of this dialog: there the dialog font's average
    // character was ORIGINAL_BASE_X pixels wide, here it is this dialog's,
    // so a column holds the same text.
    static constexpr int ORIGINAL_BASE_X = 6;
    int ScalePixels(int pixels) const;

    // For the layer: registers a control made inside this dialog.
    void addControl(CWnd* ctl, QWidget* w, int id, DWORD style, const DlgRect& r);
    // The radio-button group a new radio button joins.
    QButtonGroup* radioGroupFor(DWORD style);
    // The controls of a radio group, from the first one's id.
    std::vector<CButton*> radioGroup(int firstId) const;
    void keyEnter();
    void keyEscape();

protected:
    // Sets the window's size and caption and creates the controls.
    virtual void BuildDialog() {}
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    virtual void DoDataExchange(CDataExchange* pDX);

    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
    void OnClose() override;

    // The template: size (and, with WS_CHILD, position inside the parent
    // dialog) in dialog units, caption, WS_CHILD for a pane inside the
    // parent, WS_BORDER for a framed one.
    void SetTemplate(int cx, int cy, const std::string& caption, DWORD style = 0, int x = 0, int y = 0);
    CButton* AddButton(int id, const std::string& text, const DlgRect& r, DWORD style = BS_PUSHBUTTON);
    CButton* AddCheckBox(int id, const std::string& text, const DlgRect& r, DWORD style = 0);
    // WS_GROUP in style starts a new group.
    CButton* AddRadioButton(int id, const std::string& text, const DlgRect& r, DWORD style = 0);
    CButton* AddGroupBox(const std::string& text, const DlgRect& r, int id = IDC_STATIC);
    CStatic* AddStatic(int id, const std::string& text, const DlgRect& r, DWORD style = SS_LEFT);
    CEdit* AddEdit(int id, const DlgRect& r, DWORD style = ES_AUTOHSCROLL);
    CComboBox* AddComboBox(int id, const DlgRect& r, DWORD style = CBS_DROPDOWN);
    CListBox* AddListBox(int id, const DlgRect& r, DWORD style = LBS_NOTIFY);
    CSpinButtonCtrl* AddSpin(int id, const DlgRect& r, int buddyId);
    CMonthCalCtrl* AddMonthCal(int id, const DlgRect& r);
    CListCtrlEx* AddListCtrl(int id, const DlgRect& r, DWORD style = LVS_REPORT);

    CWnd* m_pParentWnd;

private:
    friend class CWnd;
    bool makeWindow(CWnd* parent);
    template <typename T, typename... A>
    T* own(A&&... args);
    template <typename T>
    T* addStyled(int id, const DlgRect& r, DWORD style);
    void forgetControl(CWnd* ctl);
    void forgetOwned(CDialog* dlg);

    struct Control {
        CWnd* wnd;
        DWORD style;
    };
    std::vector<Control> m_controls; // in creation order
    std::vector<std::unique_ptr<CWnd>> m_ownedControls;
    std::vector<CDialog*> m_ownedDialogs;
    CDialog* m_ownerDialog = nullptr;
    QButtonGroup* m_radioGroup = nullptr;
    int m_defaultButton = 0;
    int m_baseX = 6;
    int m_baseY = 13;
    bool m_modal = false;
    bool m_ended = false;
    int m_result = IDCANCEL;
    QEventLoop* m_loop = nullptr;
};

// Data exchange between one dialog's controls and members.
class CDataExchange {
public:
    CDataExchange(CDialog* pDlgWnd, BOOL bSaveAndValidate) : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}

    BOOL m_bSaveAndValidate;
    CDialog* m_pDlgWnd;

    // The control of that id; a missing id is a fault of the program.
    CWnd* PrepareCtrl(int nIDC);
    CWnd* PrepareEditCtrl(int nIDC);
    // Ends the exchange as failed, with the focus on the last control.
    [[noreturn]] void Fail();

    int m_idLastControl = 0;
    bool m_bEditLastControl = false;
};

// Checks that the control object is the dialog's control nIDC (made with
// that id in BuildDialog); a mismatch is a fault of the program.
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
// Text of any control (edit, static, combo, button). Strings are CP932.
void DDX_Text(CDataExchange* pDX, int nIDC, std::string& value);
// A whole number; anything else is refused with a message.
void DDX_Text(CDataExchange* pDX, int nIDC, int& value);
void DDX_CBString(CDataExchange* pDX, int nIDC, std::string& value);
// Check box: 0 or 1.
void DDX_Check(CDataExchange* pDX, int nIDC, int& value);
// Radio group from its first button: the index of the checked one, -1 none.
void DDX_Radio(CDataExchange* pDX, int nIDC, int& value);
void DDX_MonthCalCtrl(CDataExchange* pDX, int nIDC, SYSTEMTIME& value);
// After a DDX_Text of an edit: its limit becomes nChars CP932 bytes, and
// a longer value is refused when read back.
void DDV_MaxChars(CDataExchange* pDX, const std::string& value, int nChars);
