// The main window and its node window: created hidden at start, shown by
// the "ノード情報" button, publishing the node record from the start, and
// destroyed with the main window.
#include "app_testkit.h"

namespace {

using namespace apptest;

class NodeWindowLink : public MainWindowTest {
protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        keepNodeRecord = true;
    }
};

TEST_F(NodeWindowLink, CreatedHiddenShownByItsButtonAndClosedByItsOwn)
{
    start();
    CNodeInfoDlg& nodes = dlg->nodeInfoDlg();
    ASSERT_NE(nodes.widget(), nullptr);
    EXPECT_FALSE(nodes.IsWindowVisible());
    EXPECT_EQ(nodes.m_pProp, static_cast<CPropatyTandrel*>(dlg.get()));
    EXPECT_EQ(nodes.m_pTransfer, &dlg->transfer());
    EXPECT_EQ(nodes.GetWindowText(), cp("ノード情報"));

    // The own record is in SEND at once, and the own node is listed.
    const std::string rec = testsupport::readFile(dir.file("SEND/nodeInfomation.nod"));
    ASSERT_EQ(rec.size(), NODE_RECORD_SIZE);
    EXPECT_EQ(rec.substr(24, 7), std::string("NODE_A\0", 7));
    ASSERT_EQ(nodes.m_nodeList.GetItemCount(), 1);
    EXPECT_EQ(nodes.m_nodeList.GetItemText(0, 0), "NODE_A");

    button(IDC_NODE_INFO)->Click();
    EXPECT_TRUE(nodes.IsWindowVisible());
    dynamic_cast<CButton*>(nodes.GetDlgItem(IDC_NODEWIN_CLOSE))->Click();
    EXPECT_FALSE(nodes.IsWindowVisible());

    dlg->DestroyWindow();
    EXPECT_EQ(nodes.widget(), nullptr);
}

TEST_F(NodeWindowLink, TheRecordCarriesTheConnectionRowsAsNeighbours)
{
    ini.rows = {{"NODE_B", "TCP", "127.0.0.1/1", ""}, {"NODE_C", "TCP", "127.0.0.1/2", ""}};
    start();
    const std::string rec = testsupport::readFile(dir.file("SEND/nodeInfomation.nod"));
    ASSERT_EQ(rec.size(), NODE_RECORD_SIZE);
    EXPECT_EQ(rec[352], '\x02');
    EXPECT_EQ(rec.substr(356, 7), std::string("NODE_B\0", 7));
    EXPECT_EQ(rec.substr(388, 7), std::string("NODE_C\0", 7));
}

} // namespace
