#include "platform/ui/controls.h"

#include <algorithm>

#include <QButtonGroup>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTextCursor>
#include <QToolButton>
#include <QValidator>
#include <QVBoxLayout>

#include "platform/cp932.h"
#include "platform/ui/dialog.h"
#include "platform/ui/text.h"

namespace {

constexpr int kBytesRole = Qt::UserRole + 1; // the item's CP932 text

// A one-line edit's text: line breaks (pasted with the text) are dropped,
// since a value holding one could not be stored; a character without a
// CP932 form, or a text longer than the limit in CP932 bytes, is refused.
class Cp932Validator : public QValidator {
public:
    explicit Cp932Validator(QObject* parent) : QValidator(parent) {}
    UINT limit = 0;

    State validate(QString& input, int& pos) const override
    {
        for (qsizetype i = input.size(); i-- > 0;) {
            if (input[i] == QLatin1Char('\r') || input[i] == QLatin1Char('\n')) {
                input.remove(i, 1);
                if (i < pos)
                    --pos;
            }
        }
        if (!ui::hasCp932Form(input))
            return Invalid;
        if (limit > 0 && ui::cp932Length(input) > limit)
            return Invalid;
        return Acceptable;
    }
};

QAbstractButton* asButton(QWidget* w)
{
    return qobject_cast<QAbstractButton*>(w);
}

QString multiLineToQt(const std::string& text)
{
    return ui::toQt(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

std::string itemBytes(const QVariant& v)
{
    const QByteArray b = v.toByteArray();
    return std::string(b.constData(), std::size_t(b.size()));
}

QVariant bytesOf(const std::string& text)
{
    return QByteArray(text.data(), qsizetype(text.size()));
}

// ASCII letters folded to lower case, double-byte characters untouched.
std::string foldCase(const std::string& s)
{
    std::string out = s;
    for (std::size_t i = 0; i < out.size();) {
        const auto c = static_cast<unsigned char>(out[i]);
        if (cp932::isLeadByte(c) && i + 1 < out.size()) {
            i += 2;
            continue;
        }
        if (c >= 'A' && c <= 'Z')
            out[i] = char(c + ('a' - 'A'));
        ++i;
    }
    return out;
}

} // namespace

// CButton

BOOL CButton::Create(const std::string& caption, DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID)
{
    QWidget* parent = pParent ? pParent->widget() : nullptr;
    if (!parent)
        return FALSE;
    m_style = dwStyle;
    const QString text = ui::toQt(caption);
    QWidget* w = nullptr;
    switch (dwStyle & BS_TYPEMASK) {
    case BS_AUTOCHECKBOX:
        w = new QCheckBox(text, parent);
        break;
    case BS_AUTORADIOBUTTON: {
        auto* rb = new QRadioButton(text, parent);
        rb->setAutoExclusive(false); // the dialog's group decides
        w = rb;
        break;
    }
    case BS_GROUPBOX:
        w = new QGroupBox(text, parent);
        break;
    default: {
        auto* pb = new QPushButton(text, parent);
        pb->setAutoDefault(false);
        pb->setDefault((dwStyle & BS_TYPEMASK) == BS_DEFPUSHBUTTON);
        w = pb;
        break;
    }
    }
    pParent->addControl(this, w, nID, dwStyle, rect);
    if ((dwStyle & BS_TYPEMASK) == BS_GROUPBOX) {
        w->lower(); // a frame behind the controls it surrounds
        return TRUE;
    }
    if (auto* rb = qobject_cast<QRadioButton*>(w))
        pParent->radioGroupFor(dwStyle)->addButton(rb);
    QObject::connect(asButton(w), &QAbstractButton::clicked, signalContext(),
                     [this] { notifyParentCommand(BN_CLICKED); });
    return TRUE;
}

int CButton::GetCheck() const
{
    auto* b = asButton(widget());
    return (b && b->isChecked()) ? BST_CHECKED : BST_UNCHECKED;
}

void CButton::SetCheck(int nCheck)
{
    auto* b = asButton(widget());
    if (!b)
        return;
    const bool on = nCheck != BST_UNCHECKED;
    QButtonGroup* g = b->group();
    if (!on && b->isChecked() && g && g->exclusive()) {
        // An exclusive group keeps its checked button unless told otherwise.
        g->setExclusive(false);
        b->setChecked(false);
        g->setExclusive(true);
        return;
    }
    b->setChecked(on);
}

void CButton::Click()
{
    if (auto* b = asButton(widget()))
        b->click();
}

void CButton::setTextFromCp932(const std::string& text)
{
    if (auto* g = qobject_cast<QGroupBox*>(widget()))
        g->setTitle(ui::toQt(text));
    else if (auto* b = asButton(widget()))
        b->setText(ui::toQt(text));
}

std::string CButton::textAsCp932() const
{
    if (auto* g = qobject_cast<QGroupBox*>(widget()))
        return ui::fromQt(g->title());
    if (auto* b = asButton(widget()))
        return ui::fromQt(b->text());
    return std::string();
}

// CStatic

BOOL CStatic::Create(const std::string& text, DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID)
{
    QWidget* parent = pParent ? pParent->widget() : nullptr;
    if (!parent)
        return FALSE;
    auto* label = new QLabel(parent);
    // A peer's name may be shown here: never interpret markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    Qt::Alignment align = Qt::AlignTop | Qt::AlignLeft;
    if ((dwStyle & 0x3) == SS_CENTER)
        align = Qt::AlignTop | Qt::AlignHCenter;
    else if ((dwStyle & 0x3) == SS_RIGHT)
        align = Qt::AlignTop | Qt::AlignRight;
    label->setAlignment(align);
    if (dwStyle & SS_SUNKEN)
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setText(ui::toQt(text));
    pParent->addControl(this, label, nID, dwStyle, rect);
    return TRUE;
}

void CStatic::SetIcon(const QIcon& icon)
{
    if (auto* l = qobject_cast<QLabel*>(widget()))
        l->setPixmap(icon.pixmap(l->size().boundedTo(QSize(64, 64))));
}

void CStatic::setTextFromCp932(const std::string& text)
{
    if (auto* l = qobject_cast<QLabel*>(widget()))
        l->setText(ui::toQt(text));
}

std::string CStatic::textAsCp932() const
{
    auto* l = qobject_cast<QLabel*>(widget());
    return l ? ui::fromQt(l->text()) : std::string();
}

// CEdit

BOOL CEdit::Create(DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID)
{
    QWidget* parent = pParent ? pParent->widget() : nullptr;
    if (!parent)
        return FALSE;
    m_style = dwStyle;
    QWidget* w = nullptr;
    if (dwStyle & ES_MULTILINE) {
        auto* te = new QPlainTextEdit(parent);
        te->setReadOnly(dwStyle & ES_READONLY);
        te->setTabChangesFocus(true);
        te->setLineWrapMode((dwStyle & ES_AUTOHSCROLL) ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
        w = te;
    } else {
        auto* le = new QLineEdit(parent);
        le->setReadOnly(dwStyle & ES_READONLY);
        auto* v = new Cp932Validator(le);
        v->limit = m_limit;
        le->setValidator(v);
        w = le;
    }
    pParent->addControl(this, w, nID, dwStyle, rect);
    return TRUE;
}

void CEdit::SetLimitText(UINT nMax)
{
    m_limit = nMax;
    if (auto* le = qobject_cast<QLineEdit*>(widget())) {
        if (auto* v = dynamic_cast<const Cp932Validator*>(le->validator()))
            const_cast<Cp932Validator*>(v)->limit = nMax;
    }
}

void CEdit::SetReadOnly(BOOL bReadOnly)
{
    if (auto* le = qobject_cast<QLineEdit*>(widget()))
        le->setReadOnly(bReadOnly);
    else if (auto* te = qobject_cast<QPlainTextEdit*>(widget()))
        te->setReadOnly(bReadOnly);
}

BOOL CEdit::ReplaceSel(const std::string& text)
{
    if (auto* le = qobject_cast<QLineEdit*>(widget())) {
        const QString before = le->text();
        const QString in = ui::toQt(text);
        le->insert(in);
        return in.isEmpty() || le->text() != before;
    }
    if (auto* te = qobject_cast<QPlainTextEdit*>(widget())) {
        te->insertPlainText(multiLineToQt(text));
        return TRUE;
    }
    return FALSE;
}

void CEdit::SetSel(int nStartChar, int nEndChar)
{
    if (auto* le = qobject_cast<QLineEdit*>(widget())) {
        if (nEndChar < 0)
            le->selectAll();
        else
            le->setSelection(nStartChar, nEndChar - nStartChar);
    } else if (auto* te = qobject_cast<QPlainTextEdit*>(widget())) {
        QTextCursor c = te->textCursor();
        c.setPosition(nStartChar);
        if (nEndChar < 0)
            c.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        else
            c.setPosition(nEndChar, QTextCursor::KeepAnchor);
        te->setTextCursor(c);
    }
}

void CEdit::setTextFromCp932(const std::string& text)
{
    if (auto* le = qobject_cast<QLineEdit*>(widget()))
        le->setText(ui::toQt(text));
    else if (auto* te = qobject_cast<QPlainTextEdit*>(widget()))
        te->setPlainText(multiLineToQt(text));
}

std::string CEdit::textAsCp932() const
{
    if (auto* le = qobject_cast<QLineEdit*>(widget()))
        return ui::fromQt(le->text());
    if (auto* te = qobject_cast<QPlainTextEdit*>(widget()))
        return ui::fromQt(te->toPlainText().replace(QStringLiteral("\n"), QStringLiteral("\r\n")));
    return std::string();
}

// CComboBox

BOOL CComboBox::Create(DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID)
{
    QWidget* parent = pParent ? pParent->widget() : nullptr;
    if (!parent)
        return FALSE;
    auto* cb = new QComboBox(parent);
    if ((dwStyle & 0x3) != CBS_DROPDOWNLIST) {
        cb->setEditable(true);
        cb->setInsertPolicy(QComboBox::NoInsert);
    }
    pParent->addControl(this, cb, nID, dwStyle, rect);
    // The template's height includes the drop-down list.
    cb->resize(cb->width(), cb->sizeHint().height());
    QObject::connect(cb, &QComboBox::activated, signalContext(), [this] { notifyParentCommand(CBN_SELCHANGE); });
    return TRUE;
}

int CComboBox::AddString(const std::string& text)
{
    auto* cb = qobject_cast<QComboBox*>(widget());
    if (!cb)
        return CB_ERR;
    cb->addItem(ui::toQt(text), bytesOf(text));
    return cb->count() - 1;
}

void CComboBox::ResetContent()
{
    if (auto* cb = qobject_cast<QComboBox*>(widget())) {
        cb->clear();
        if (cb->isEditable())
            cb->setEditText(QString());
    }
}

int CComboBox::GetCount() const
{
    auto* cb = qobject_cast<QComboBox*>(widget());
    return cb ? cb->count() : 0;
}

int CComboBox::GetCurSel() const
{
    auto* cb = qobject_cast<QComboBox*>(widget());
    return cb ? cb->currentIndex() : CB_ERR;
}

int CComboBox::SetCurSel(int nSelect)
{
    auto* cb = qobject_cast<QComboBox*>(widget());
    if (!cb || nSelect >= cb->count())
        return CB_ERR;
    cb->setCurrentIndex(nSelect < 0 ? -1 : nSelect);
    if (nSelect < 0) {
        if (cb->isEditable())
            cb->setEditText(QString());
        return CB_ERR;
    }
    return nSelect;
}

std::string CComboBox::GetLBText(int nIndex) const
{
    auto* cb = qobject_cast<QComboBox*>(widget());
    if (!cb || nIndex < 0 || nIndex >= cb->count())
        return std::string();
    return itemBytes(cb->itemData(nIndex));
}

int CComboBox::FindString(int nStartAfter, const std::string& prefix) const
{
    const int n = GetCount();
    const std::string want = foldCase(prefix);
    for (int k = 1; k <= n; ++k) {
        const int i = nStartAfter < 0 ? k - 1 : (nStartAfter + k) % n;
        const std::string item = foldCase(GetLBText(i));
        if (item.compare(0, want.size(), want) == 0)
            return i;
    }
    return CB_ERR;
}

void CComboBox::choose(int nIndex)
{
    if (SetCurSel(nIndex) != CB_ERR)
        notifyParentCommand(CBN_SELCHANGE);
}

void CComboBox::setTextFromCp932(const std::string& text)
{
    auto* cb = qobject_cast<QComboBox*>(widget());
    if (!cb)
        return;
    if (cb->isEditable()) {
        cb->setEditText(ui::toQt(text));
        return;
    }
    for (int i = 0; i < cb->count(); ++i) {
        if (itemBytes(cb->itemData(i)) == text) {
            cb->setCurrentIndex(i);
            return;
        }
    }
}

std::string CComboBox::textAsCp932() const
{
    auto* cb = qobject_cast<QComboBox*>(widget());
    if (!cb)
        return std::string();
    if (cb->isEditable())
        return ui::fromQt(cb->currentText());
    return cb->currentIndex() < 0 ? std::string() : itemBytes(cb->itemData(cb->currentIndex()));
}

// CListBox

BOOL CListBox::Create(DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID)
{
    QWidget* parent = pParent ? pParent->widget() : nullptr;
    if (!parent)
        return FALSE;
    m_style = dwStyle;
    auto* lw = new QListWidget(parent);
    lw->setSelectionMode(QAbstractItemView::SingleSelection);
    pParent->addControl(this, lw, nID, dwStyle, rect);
    return TRUE;
}

int CListBox::AddString(const std::string& text)
{
    auto* lw = qobject_cast<QListWidget*>(widget());
    if (!lw)
        return LB_ERR;
    int at = lw->count();
    if (m_style & LBS_SORT) {
        const std::string key = foldCase(text);
        at = 0;
        while (at < lw->count() && foldCase(GetText(at)) <= key)
            ++at;
    }
    auto* item = new QListWidgetItem(ui::toQt(text));
    item->setData(kBytesRole, bytesOf(text));
    lw->insertItem(at, item);
    return at;
}

int CListBox::DeleteString(int nIndex)
{
    auto* lw = qobject_cast<QListWidget*>(widget());
    if (!lw || nIndex < 0 || nIndex >= lw->count())
        return LB_ERR;
    delete lw->takeItem(nIndex);
    return lw->count();
}

void CListBox::ResetContent()
{
    if (auto* lw = qobject_cast<QListWidget*>(widget()))
        lw->clear();
}

int CListBox::GetCount() const
{
    auto* lw = qobject_cast<QListWidget*>(widget());
    return lw ? lw->count() : 0;
}

std::string CListBox::GetText(int nIndex) const
{
    auto* lw = qobject_cast<QListWidget*>(widget());
    if (!lw || nIndex < 0 || nIndex >= lw->count())
        return std::string();
    return itemBytes(lw->item(nIndex)->data(kBytesRole));
}

int CListBox::GetCurSel() const
{
    auto* lw = qobject_cast<QListWidget*>(widget());
    if (!lw)
        return LB_ERR;
    const auto sel = lw->selectedItems();
    return sel.isEmpty() ? LB_ERR : lw->row(sel.first());
}

int CListBox::SetCurSel(int nSelect)
{
    auto* lw = qobject_cast<QListWidget*>(widget());
    if (!lw || nSelect >= lw->count())
        return LB_ERR;
    if (nSelect < 0) {
        lw->clearSelection();
        return LB_ERR;
    }
    lw->setCurrentRow(nSelect);
    return nSelect;
}

// CSpinButtonCtrl

BOOL CSpinButtonCtrl::Create(DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID)
{
    QWidget* parent = pParent ? pParent->widget() : nullptr;
    if (!parent)
        return FALSE;
    auto* box = new QWidget(parent);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* up = new QToolButton(box);
    up->setArrowType(Qt::UpArrow);
    auto* down = new QToolButton(box);
    down->setArrowType(Qt::DownArrow);
    for (auto* b : {up, down}) {
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        layout->addWidget(b);
    }
    pParent->addControl(this, box, nID, dwStyle, rect);
    QObject::connect(up, &QToolButton::clicked, signalContext(), [this] { step(+1); });
    QObject::connect(down, &QToolButton::clicked, signalContext(), [this] { step(-1); });
    return TRUE;
}

void CSpinButtonCtrl::SetRange(int nLower, int nUpper)
{
    m_lower = nLower;
    m_upper = nUpper;
}

void CSpinButtonCtrl::GetRange(int& nLower, int& nUpper) const
{
    nLower = m_lower;
    nUpper = m_upper;
}

int CSpinButtonCtrl::SetPos(int nPos)
{
    const int lo = std::min(m_lower, m_upper);
    const int hi = std::max(m_lower, m_upper);
    const int previous = m_pos;
    m_pos = std::clamp(nPos, lo, hi);
    if (m_buddy)
        m_buddy->SetWindowText(std::to_string(m_pos));
    return previous;
}

int CSpinButtonCtrl::GetPos(BOOL* pbError)
{
    bool bad = false;
    if (m_buddy) {
        int v = 0;
        const int lo = std::min(m_lower, m_upper);
        const int hi = std::max(m_lower, m_upper);
        if (ui::parseWholeNumber(m_buddy->GetWindowText(), v) && v >= lo && v <= hi)
            m_pos = v;
        else
            bad = true;
    }
    if (pbError)
        *pbError = bad ? TRUE : FALSE;
    return m_pos;
}

void CSpinButtonCtrl::step(int delta)
{
    if (!IsWindowEnabled())
        return;
    const int pos = GetPos();
    SetPos(m_lower <= m_upper ? pos + delta : pos - delta);
}

// CMonthCalCtrl

BOOL CMonthCalCtrl::Create(DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID)
{
    QWidget* parent = pParent ? pParent->widget() : nullptr;
    if (!parent)
        return FALSE;
    auto* cal = new QCalendarWidget(parent);
    cal->setVerticalHeaderFormat(QCalendarWidget::NoVerticalHeader);
    // Month and day names in the program's language, weeks from Sunday.
    cal->setLocale(QLocale(QLocale::Japanese, QLocale::Japan));
    cal->setFirstDayOfWeek(Qt::Sunday);
    pParent->addControl(this, cal, nID, dwStyle, rect);
    QObject::connect(cal, &QCalendarWidget::selectionChanged, signalContext(), [this] {
        if (!m_settingSelection)
            notifyParentNotify(MCN_SELCHANGE);
    });
    return TRUE;
}

BOOL CMonthCalCtrl::GetCurSel(SYSTEMTIME& st) const
{
    auto* cal = qobject_cast<QCalendarWidget*>(widget());
    if (!cal)
        return FALSE;
    const QDate d = cal->selectedDate();
    st = SYSTEMTIME{};
    st.wYear = WORD(d.year());
    st.wMonth = WORD(d.month());
    st.wDayOfWeek = WORD(d.dayOfWeek() % 7); // Sunday 0
    st.wDay = WORD(d.day());
    return TRUE;
}

BOOL CMonthCalCtrl::SetCurSel(const SYSTEMTIME& st)
{
    auto* cal = qobject_cast<QCalendarWidget*>(widget());
    const QDate d(st.wYear, st.wMonth, st.wDay);
    if (!cal || !d.isValid())
        return FALSE;
    m_settingSelection = true;
    cal->setSelectedDate(d);
    m_settingSelection = false;
    return TRUE;
}

void CMonthCalCtrl::choose(int year, int month, int day)
{
    if (auto* cal = qobject_cast<QCalendarWidget*>(widget()))
        cal->setSelectedDate(QDate(year, month, day));
}
