// The controls a dialog is built from. Each is created inside a CDialog
// (while its window is being made, from its BuildDialog) with an id, a
// rectangle in dialog units and Windows-style flags; the dialog finds it
// again by id (CDialog::GetDlgItem). Texts are CP932. Controls are visible
// when created; notifications go to the dialog (see wnd.h).
#pragma once

#include <string>

#include "platform/ui/wnd.h"

class QButtonGroup;
class QIcon;

// A rectangle in dialog units (a quarter of the font's average character
// width, an eighth of its height), as dialog templates measure.
struct DlgRect {
    int x = 0;
    int y = 0;
    int cx = 0;
    int cy = 0;
};

// Push button (BS_PUSHBUTTON, BS_DEFPUSHBUTTON), check box
// (BS_AUTOCHECKBOX), radio button (BS_AUTORADIOBUTTON) or group box
// (BS_GROUPBOX). Radio buttons form a group from one created with WS_GROUP
// up to the next control created with WS_GROUP; one of a group is checked
// at a time, or none. Clicks send BN_CLICKED.
class CButton : public CWnd {
public:
    BOOL Create(const std::string& caption, DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID);
    int GetCheck() const;
    void SetCheck(int nCheck);
    // Clicks it the way the user would: nothing happens while it is disabled.
    void Click();
    DWORD buttonType() const { return m_style & BS_TYPEMASK; }

protected:
    void setTextFromCp932(const std::string& text) override;
    std::string textAsCp932() const override;

private:
    DWORD m_style = 0;
};

// Static text, always plain text (never rich text). SS_SUNKEN draws a
// sunken frame; SS_CENTER and SS_RIGHT align it.
class CStatic : public CWnd {
public:
    BOOL Create(const std::string& text, DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID);
    // Shows a picture in place of the text (an icon static).
    void SetIcon(const QIcon& icon);

protected:
    void setTextFromCp932(const std::string& text) override;
    std::string textAsCp932() const override;
};

// One-line edit, or multi-line with ES_MULTILINE; ES_READONLY. A one-line
// edit takes no line breaks (a pasted text loses them), and refuses input
// that would make its text longer than its limit in CP932 bytes, and
// characters that have no CP932 form.
class CEdit : public CWnd {
public:
    BOOL Create(DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID);
    // Maximum length in CP932 bytes for what the user types (0: none).
    // Texts set by the program are not cut.
    void SetLimitText(UINT nMax);
    void LimitText(UINT nMax) { SetLimitText(nMax); }
    UINT GetLimitText() const { return m_limit; }
    void SetReadOnly(BOOL bReadOnly = TRUE);
    BOOL isMultiLine() const { return (m_style & ES_MULTILINE) != 0; }
    // Replaces the selection with text as typing or pasting would: in a
    // one-line edit, refused whole when the result is too long or holds a
    // character without a CP932 form. TRUE when the text went in.
    BOOL ReplaceSel(const std::string& text);
    // Selects characters [start, end); end -1 to the end.
    void SetSel(int nStartChar, int nEndChar);

protected:
    void setTextFromCp932(const std::string& text) override;
    std::string textAsCp932() const override;

private:
    DWORD m_style = 0;
    UINT m_limit = 0;
};

// Combo box: CBS_DROPDOWN (an edit with a list) or CBS_DROPDOWNLIST (a list
// only). The user's choice of an item sends CBN_SELCHANGE.
class CComboBox : public CWnd {
public:
    BOOL Create(DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID);
    int AddString(const std::string& text);
    void ResetContent();
    int GetCount() const;
    int GetCurSel() const;
    // -1 clears the selection (and the edit's text).
    int SetCurSel(int nSelect);
    std::string GetLBText(int nIndex) const;
    // First item after nStartAfter (-1: from the top, wrapping round) whose
    // text begins with prefix, letters compared without case; CB_ERR when none.
    int FindString(int nStartAfter, const std::string& prefix) const;
    // Chooses an item as the user would (CBN_SELCHANGE follows).
    void choose(int nIndex);

protected:
    void setTextFromCp932(const std::string& text) override;
    std::string textAsCp932() const override;
};

// List box; LBS_SORT keeps the items sorted (letters without case).
class CListBox : public CWnd {
public:
    BOOL Create(DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID);
    int AddString(const std::string& text);
    int DeleteString(int nIndex);
    void ResetContent();
    int GetCount() const;
    std::string GetText(int nIndex) const;
    int GetCurSel() const;
    int SetCurSel(int nSelect);

private:
    DWORD m_style = 0;
};

// Up-down control that shows its position in a buddy edit.
class CSpinButtonCtrl : public CWnd {
public:
    BOOL Create(DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID);
    void SetBuddy(CWnd* pBuddy) { m_buddy = pBuddy; }
    CWnd* GetBuddy() const { return m_buddy; }
    void SetRange(int nLower, int nUpper);
    void SetRange32(int nLower, int nUpper) { SetRange(nLower, nUpper); }
    void GetRange(int& nLower, int& nUpper) const;
    // Writes the position into the buddy; returns the previous position.
    int SetPos(int nPos);
    int SetPos32(int nPos) { return SetPos(nPos); }
    // The number in the buddy. When that text is no whole number within the
    // range, *pbError is set and the last good position comes back.
    int GetPos(BOOL* pbError = nullptr);
    int GetPos32(BOOL* pbError = nullptr) { return GetPos(pbError); }
    // One step up (+1) or down (-1), as the arrows do.
    void step(int delta);

private:
    CWnd* m_buddy = nullptr;
    int m_lower = 0;
    int m_upper = 100;
    int m_pos = 0;
};

// Month calendar; a date chosen by the user sends MCN_SELCHANGE.
class CMonthCalCtrl : public CWnd {
public:
    BOOL Create(DWORD dwStyle, const DlgRect& rect, CDialog* pParent, int nID);
    // The selected day (the time fields zero).
    BOOL GetCurSel(SYSTEMTIME& st) const;
    BOOL SetCurSel(const SYSTEMTIME& st);
    // Selects a day as the user would (MCN_SELCHANGE follows).
    void choose(int year, int month, int day);

private:
    bool m_settingSelection = false;
};
