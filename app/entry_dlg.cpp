#include "app/entry_dlg.h"

#include "platform/ui/text.h"

using ui::cp;

CEntryDlg::CEntryDlg(CWnd* pParent) : CDialog(pParent) {}

void CEntryDlg::BuildDialog()
{
    SetTemplate(220, 86, cp("登録方法確認"));
    AddStatic(IDC_STATIC, cp("ファイルがドロップされました。登録方法を選択してください。"), {10, 8, 200, 18});
    AddRadioButton(IDC_ENTRY_SHORTCUT, cp("ショートカットを作成する"), {20, 30, 180, 10}, WS_GROUP);
    AddRadioButton(IDC_ENTRY_COPY, cp("ファイルをコピーする"), {20, 44, 180, 10});
    AddButton(IDOK, "OK", {60, 64, 50, 14}, BS_DEFPUSHBUTTON | WS_GROUP);
    AddButton(IDCANCEL, cp("ｷｬﾝｾﾙ"), {116, 64, 50, 14});
}

void CEntryDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Radio(pDX, IDC_ENTRY_SHORTCUT, m_entryMode);
}
