#include "app/about_dlg.h"

#include <algorithm>

#include "app/resources.h"
#include "app/tandrel_app.h"
#include "platform/ui/text.h"

using ui::cp;

CAboutDlg::CAboutDlg(CWnd* pParent) : CDialog(pParent) {}

std::string CAboutDlg::versionLine(const char* versionString)
{
    std::string v = versionString ? versionString : "";
    std::replace(v.begin(), v.end(), ',', '-');
    std::replace(v.begin(), v.end(), ':', ' ');
    return "Yuvo " + v + " ";
}

void CAboutDlg::BuildDialog()
{
    SetTemplate(170, 62, cp("Yuvoのﾊﾞｰｼﾞｮﾝ情報"));
    CStatic* icon = AddStatic(IDC_STATIC, "", {11, 14, 21, 20});
    icon->SetIcon(res::windowIcon());
    AddStatic(IDC_ABOUT_VERSION, "", {40, 14, 119, 10});
    AddButton(IDOK, "OK", {113, 41, 50, 14}, BS_DEFPUSHBUTTON);
}

void CAboutDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_ABOUT_VERSION, m_versionText);
}

BOOL CAboutDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_versionText = versionLine(getVersionString());
    UpdateData(FALSE);
    return TRUE;
}
