#include "platform/ui/dialog.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <QButtonGroup>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFontMetrics>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QTextLayout>

#include "platform/qt/main_thread.h"
#include "platform/ui/prompts.h"
#include "platform/ui/text.h"

namespace {

struct DataExchangeFailed {};

// The window of a dialog: turns Enter, Escape and the close box into the
// dialog's commands.
class DialogFrame : public QFrame {
public:
    DialogFrame(CDialog* owner, QWidget* parent) : QFrame(parent, Qt::Dialog), m_owner(owner) {}
    CDialog* m_owner;

protected:
    void keyPressEvent(QKeyEvent* e) override
    {
        // A pane inside another dialog leaves these keys to that dialog.
        if (m_owner && isWindow() && (e->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            switch (e->key()) {
            case Qt::Key_Return:
            case Qt::Key_Enter:
                m_owner->keyEnter();
                return;
            case Qt::Key_Escape:
                m_owner->keyEscape();
                return;
            default:
                break;
            }
        }
        QFrame::keyPressEvent(e);
    }

    void closeEvent(QCloseEvent* e) override
    {
        e->ignore();
        if (m_owner)
            m_owner->SendMessage(WM_CLOSE);
    }
};

} // namespace

CDialog::CDialog(CWnd* pParentWnd) : m_pParentWnd(pParentWnd) {}

CDialog::~CDialog()
{
    if (m_widget)
        CDialog::DestroyWindow();
    for (auto& c : m_controls)
        c.wnd->m_inDialog = nullptr;
    m_controls.clear();
    for (CDialog* d : m_ownedDialogs)
        d->m_ownerDialog = nullptr;
    if (m_ownerDialog)
        m_ownerDialog->forgetOwned(this);
}

bool CDialog::makeWindow(CWnd* parent)
{
    CDialog* parentDlg = dynamic_cast<CDialog*>(parent);
    QWidget* parentWidget = parent ? parent->widget() : nullptr;
    auto* frame = new DialogFrame(this, parentWidget);
    // Dialog units from the font the dialog's texts are drawn in, as
    // Windows measures them from a dialog's own font: a quarter of the
    // average width of the Latin letters and an eighth of the height of a
    // line. The Japanese texts come from a fallback font here, not from the
    // dialog's font as they would there, so its measures count too: a
    // Japanese font is two average letters wide a character, and its line
    // may be taller than the dialog font's.
    const QFontMetrics fm(frame->font());
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const QString japanese = QString::fromUtf8("東京パーティのキャッシュフォルダ");
    const int latinX = (fm.horizontalAdvance(letters) / 26 + 1) / 2;
    const int japaneseX = (fm.horizontalAdvance(japanese) + 2 * int(japanese.size()) - 1) / (2 * int(japanese.size()));
    m_baseX = std::max({latinX, japaneseX, 1});
    QTextLayout sample(japanese, frame->font());
    sample.beginLayout();
    const QTextLine line = sample.createLine();
    sample.endLayout();
    m_baseY = std::max({fm.height(), int(std::ceil(line.height())), 1});
    attachWidget(frame, 0, parent);
    if (parentDlg) {
        parentDlg->m_ownedDialogs.push_back(this);
        m_ownerDialog = parentDlg;
    }
    m_ownedControls.clear(); // those of an earlier window of this object
    m_controls.clear();
    m_radioGroup = nullptr;
    m_defaultButton = 0;
    BuildDialog();
    return true;
}

INT_PTR CDialog::DoModal()
{
    if (m_widget)
        return -1;
    // Once the session ends, a dialog that would open is cancelled at once.
    if (ui::modalLoopsCancelled())
        return IDCANCEL;
    // Hiding the last visible window must not end the program's loops.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    m_modal = true;
    m_ended = false;
    m_result = IDCANCEL;
    makeWindow(m_pParentWnd);
    m_widget->setWindowModality(Qt::ApplicationModal);
    // Listed from here, so that even a box of OnInitDialog's can be ended
    // with it.
    ui::ModalLoop running(this, [this] { EndDialog(IDCANCEL); });
    OnInitDialog();
    if (!m_ended && m_widget) {
        if (!m_widget->testAttribute(Qt::WA_WState_ExplicitShowHide))
            m_widget->show();
        QEventLoop loop;
        m_loop = &loop;
        m_posted->post([this] { runDelivery([this] { ui::notifyModalDialogRunning(*this); }); });
        loop.exec(QEventLoop::DialogExec);
        m_loop = nullptr;
    }
    const int result = m_result;
    if (m_widget)
        DestroyWindow();
    m_modal = false;
    return result;
}

BOOL CDialog::Create(CWnd* pParentWnd)
{
    if (m_widget)
        return FALSE;
    QGuiApplication::setQuitOnLastWindowClosed(false);
    m_modal = false;
    m_ended = false;
    makeWindow(pParentWnd ? pParentWnd : m_pParentWnd);
    OnInitDialog();
    if (m_widget && !m_widget->testAttribute(Qt::WA_WState_ExplicitShowHide))
        m_widget->hide();
    return TRUE;
}

void CDialog::EndDialog(int nResult)
{
    m_result = nResult;
    m_ended = true;
    if (m_widget)
        m_widget->hide();
    if (m_loop)
        m_loop->exit(0);
}

BOOL CDialog::DestroyWindow()
{
    if (!m_widget)
        return FALSE;
    if (m_loop) {
        m_ended = true;
        m_loop->exit(0);
    }
    OnDestroy();
    const auto owned = m_ownedDialogs;
    for (CDialog* d : owned)
        d->DestroyWindow();
    for (auto& c : m_controls) {
        c.wnd->detachWidget();
        c.wnd->m_inDialog = nullptr;
    }
    m_controls.clear();
    // The owned control objects stay until the next window or the end of
    // this object: one of them may be the caller.
    m_radioGroup = nullptr;
    m_defaultButton = 0;
    static_cast<DialogFrame*>(m_widget)->m_owner = nullptr;
    QWidget* w = m_widget;
    detachWidget();
    disposeWidget(w);
    if (m_ownerDialog) {
        m_ownerDialog->forgetOwned(this);
        m_ownerDialog = nullptr;
    }
    PostNcDestroy();
    ui::modalOwnerDestroyed(this);
    return TRUE;
}

void CDialog::forgetControl(CWnd* ctl)
{
    for (auto it = m_controls.begin(); it != m_controls.end(); ++it) {
        if (it->wnd == ctl) {
            m_controls.erase(it);
            break;
        }
    }
    ctl->m_inDialog = nullptr;
}

void CDialog::forgetOwned(CDialog* dlg)
{
    std::erase(m_ownedDialogs, dlg);
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate)
{
    if (!m_widget)
        return FALSE;
    CDataExchange dx(this, bSaveAndValidate);
    try {
        DoDataExchange(&dx);
    } catch (const DataExchangeFailed&) {
        return FALSE;
    }
    return TRUE;
}

CWnd* CDialog::GetDlgItem(int nID) const
{
    if (nID == IDC_STATIC)
        return nullptr;
    for (const auto& c : m_controls) {
        if (c.wnd->GetDlgCtrlID() == nID)
            return c.wnd;
    }
    return nullptr;
}

void CDialog::GotoDlgCtrl(CWnd* pWndCtrl)
{
    if (!pWndCtrl)
        return;
    pWndCtrl->SetFocus();
    if (auto* edit = dynamic_cast<CEdit*>(pWndCtrl))
        edit->SetSel(0, -1);
}

int CDialog::GetFocusId() const
{
    if (!m_widget)
        return 0;
    for (QWidget* f = m_widget->focusWidget(); f && f != m_widget; f = f->parentWidget()) {
        for (const auto& c : m_controls) {
            if (c.wnd->widget() == f)
                return c.wnd->GetDlgCtrlID();
        }
    }
    return 0;
}

QRect CDialog::MapDialogRect(const DlgRect& r) const
{
    return QRect(r.x * m_baseX / 4, r.y * m_baseY / 8, r.cx * m_baseX / 4, r.cy * m_baseY / 8);
}

int CDialog::ScalePixels(int pixels) const
{
    return (pixels * m_baseX + ORIGINAL_BASE_X / 2) / ORIGINAL_BASE_X;
}

void CDialog::addControl(CWnd* ctl, QWidget* w, int id, DWORD style, const DlgRect& r)
{
    if (ctl->m_inDialog)
        ctl->m_inDialog->forgetControl(ctl);
    w->setGeometry(MapDialogRect(r));
    if (style & WS_DISABLED)
        w->setEnabled(false);
    w->show();
    ctl->attachWidget(w, id, this);
    ctl->m_inDialog = this;
    if (style & WS_GROUP)
        m_radioGroup = nullptr;
    m_controls.push_back({ctl, style});
    if (auto* b = dynamic_cast<CButton*>(ctl); b && b->buttonType() == BS_DEFPUSHBUTTON)
        m_defaultButton = id;
}

QButtonGroup* CDialog::radioGroupFor(DWORD)
{
    if (!m_radioGroup) {
        m_radioGroup = new QButtonGroup(m_widget);
        m_radioGroup->setExclusive(true);
    }
    return m_radioGroup;
}

std::vector<CButton*> CDialog::radioGroup(int firstId) const
{
    std::vector<CButton*> out;
    bool inGroup = false;
    for (const auto& c : m_controls) {
        if (!inGroup) {
            if (c.wnd->GetDlgCtrlID() != firstId)
                continue;
            inGroup = true;
        } else if (c.style & WS_GROUP) {
            break;
        }
        if (auto* b = dynamic_cast<CButton*>(c.wnd); b && b->buttonType() == BS_AUTORADIOBUTTON)
            out.push_back(b);
    }
    return out;
}

void CDialog::keyEnter()
{
    if (auto* pb = qobject_cast<QPushButton*>(m_widget->focusWidget())) {
        if (pb->isEnabled())
            pb->click();
        return;
    }
    if (m_defaultButton) {
        if (auto* b = dynamic_cast<CButton*>(GetDlgItem(m_defaultButton))) {
            b->Click();
            return;
        }
    }
    SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED));
}

void CDialog::keyEscape()
{
    SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED));
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK()
{
    if (!UpdateData(TRUE))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

void CDialog::DoDataExchange(CDataExchange*) {}

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM lParam)
{
    if (CWnd::OnCommand(wParam, lParam))
        return TRUE;
    if (HIWORD(wParam) != BN_CLICKED)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        OnOK();
        return TRUE;
    case IDCANCEL:
        OnCancel();
        return TRUE;
    default:
        return FALSE;
    }
}

void CDialog::OnClose()
{
    SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED));
}

void CDialog::SetTemplate(int cx, int cy, const std::string& caption, DWORD style, int x, int y)
{
    auto* frame = static_cast<DialogFrame*>(m_widget);
    frame->setWindowTitle(ui::toQt(caption));
    const CDialog* measure = (style & WS_CHILD) && m_ownerDialog ? m_ownerDialog : this;
    const QRect r = measure->MapDialogRect({x, y, cx, cy});
    if (style & WS_CHILD) {
        frame->setWindowFlags(Qt::Widget);
        frame->move(r.topLeft());
    }
    frame->setFixedSize(r.size());
    if (style & WS_BORDER)
        frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
}

template <typename T, typename... A>
T* CDialog::own(A&&... args)
{
    auto p = std::make_unique<T>(std::forward<A>(args)...);
    T* raw = p.get();
    m_ownedControls.push_back(std::move(p));
    return raw;
}

CButton* CDialog::AddButton(int id, const std::string& text, const DlgRect& r, DWORD style)
{
    auto* b = own<CButton>();
    b->Create(text, style, r, this, id);
    return b;
}

CButton* CDialog::AddCheckBox(int id, const std::string& text, const DlgRect& r, DWORD style)
{
    return AddButton(id, text, r, (style & ~BS_TYPEMASK) | BS_AUTOCHECKBOX);
}

CButton* CDialog::AddRadioButton(int id, const std::string& text, const DlgRect& r, DWORD style)
{
    return AddButton(id, text, r, (style & ~BS_TYPEMASK) | BS_AUTORADIOBUTTON);
}

CButton* CDialog::AddGroupBox(const std::string& text, const DlgRect& r, int id)
{
    return AddButton(id, text, r, BS_GROUPBOX);
}

CStatic* CDialog::AddStatic(int id, const std::string& text, const DlgRect& r, DWORD style)
{
    auto* s = own<CStatic>();
    s->Create(text, style, r, this, id);
    return s;
}

template <typename T>
T* CDialog::addStyled(int id, const DlgRect& r, DWORD style)
{
    auto* c = own<T>();
    c->Create(style, r, this, id);
    return c;
}

CEdit* CDialog::AddEdit(int id, const DlgRect& r, DWORD style)
{
    return addStyled<CEdit>(id, r, style);
}

CComboBox* CDialog::AddComboBox(int id, const DlgRect& r, DWORD style)
{
    return addStyled<CComboBox>(id, r, style);
}

CListBox* CDialog::AddListBox(int id, const DlgRect& r, DWORD style)
{
    return addStyled<CListBox>(id, r, style);
}

CSpinButtonCtrl* CDialog::AddSpin(int id, const DlgRect& r, int buddyId)
{
    auto* s = addStyled<CSpinButtonCtrl>(id, r, 0);
    s->SetBuddy(GetDlgItem(buddyId));
    return s;
}

CMonthCalCtrl* CDialog::AddMonthCal(int id, const DlgRect& r)
{
    return addStyled<CMonthCalCtrl>(id, r, 0);
}

CListCtrlEx* CDialog::AddListCtrl(int id, const DlgRect& r, DWORD style)
{
    return addStyled<CListCtrlEx>(id, r, style);
}

// Data exchange.

CWnd* CDataExchange::PrepareCtrl(int nIDC)
{
    CWnd* c = m_pDlgWnd->GetDlgItem(nIDC);
    if (!c)
        throw std::logic_error("data exchange with a control that does not exist: " + std::to_string(nIDC));
    m_idLastControl = nIDC;
    m_bEditLastControl = false;
    return c;
}

CWnd* CDataExchange::PrepareEditCtrl(int nIDC)
{
    CWnd* c = PrepareCtrl(nIDC);
    m_bEditLastControl = dynamic_cast<CEdit*>(c) != nullptr;
    return c;
}

void CDataExchange::Fail()
{
    if (CWnd* c = m_pDlgWnd->GetDlgItem(m_idLastControl))
        m_pDlgWnd->GotoDlgCtrl(c);
    throw DataExchangeFailed{};
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl)
{
    if (pDX->PrepareCtrl(nIDC) != &rControl)
        throw std::logic_error("DDX_Control: control " + std::to_string(nIDC) + " is another object");
}

void DDX_Text(CDataExchange* pDX, int nIDC, std::string& value)
{
    CWnd* c = pDX->PrepareEditCtrl(nIDC);
    if (pDX->m_bSaveAndValidate)
        value = c->GetWindowText();
    else
        c->SetWindowText(value);
}

void DDX_Text(CDataExchange* pDX, int nIDC, int& value)
{
    CWnd* c = pDX->PrepareEditCtrl(nIDC);
    if (!pDX->m_bSaveAndValidate) {
        c->SetWindowText(std::to_string(value));
        return;
    }
    int v = 0;
    if (!ui::parseWholeNumber(c->GetWindowText(), v)) {
        pDX->m_pDlgWnd->MessageBox(ui::cp("整数を入力してください。"), std::string(), MB_ICONEXCLAMATION);
        pDX->Fail();
    }
    value = v;
}

void DDX_CBString(CDataExchange* pDX, int nIDC, std::string& value)
{
    DDX_Text(pDX, nIDC, value);
}

void DDX_Check(CDataExchange* pDX, int nIDC, int& value)
{
    auto* b = dynamic_cast<CButton*>(pDX->PrepareCtrl(nIDC));
    if (!b)
        throw std::logic_error("DDX_Check on a control that is no button: " + std::to_string(nIDC));
    if (pDX->m_bSaveAndValidate)
        value = b->GetCheck();
    else
        b->SetCheck(value ? BST_CHECKED : BST_UNCHECKED);
}

void DDX_Radio(CDataExchange* pDX, int nIDC, int& value)
{
    pDX->PrepareCtrl(nIDC);
    const auto group = pDX->m_pDlgWnd->radioGroup(nIDC);
    if (group.empty())
        throw std::logic_error("DDX_Radio on a control that starts no radio group: " + std::to_string(nIDC));
    if (pDX->m_bSaveAndValidate) {
        value = -1;
        for (std::size_t i = 0; i < group.size(); ++i) {
            if (group[i]->GetCheck())
                value = int(i);
        }
        return;
    }
    for (std::size_t i = 0; i < group.size(); ++i)
        group[i]->SetCheck(int(i) == value ? BST_CHECKED : BST_UNCHECKED);
}

void DDX_MonthCalCtrl(CDataExchange* pDX, int nIDC, SYSTEMTIME& value)
{
    auto* m = dynamic_cast<CMonthCalCtrl*>(pDX->PrepareCtrl(nIDC));
    if (!m)
        throw std::logic_error("DDX_MonthCalCtrl on a control that is no calendar: " + std::to_string(nIDC));
    if (pDX->m_bSaveAndValidate)
        m->GetCurSel(value);
    else
        m->SetCurSel(value);
}

void DDV_MaxChars(CDataExchange* pDX, const std::string& value, int nChars)
{
    if (!pDX->m_bSaveAndValidate) {
        if (pDX->m_bEditLastControl) {
            if (auto* e = dynamic_cast<CEdit*>(pDX->m_pDlgWnd->GetDlgItem(pDX->m_idLastControl)))
                e->SetLimitText(UINT(nChars));
        }
        return;
    }
    if (value.size() > std::size_t(nChars)) {
        pDX->m_pDlgWnd->MessageBox(ui::cp(std::to_string(nChars) + " バイト以内で入力してください。"),
                                   std::string(), MB_ICONEXCLAMATION);
        pDX->Fail();
    }
}
