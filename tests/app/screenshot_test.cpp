// A picture of the main window with connection rows, files in every state
// and a notice, saved next to the test program (main_window.png) for a
// person to look at. The test itself checks only that the picture was made
// and that the window's controls lie inside it without overlapping.
#include <unistd.h>

#include <QPixmap>
#include <QWidget>

#include "app_testkit.h"

using namespace apptest;

namespace {

std::string besideTheProgram(const std::string& name)
{
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return name;
    std::string exe(buf, static_cast<std::size_t>(n));
    return exe.substr(0, exe.rfind('/') + 1) + name;
}

using ScreenshotTest = MainWindowTest;

} // namespace

TEST_F(ScreenshotTest, MainWindowWithRowsFilesAndANotice)
{
    ini.party = "東京パーティ";
    ini.name = "本社ノード";
    // Loopback ports where nobody listens: the picture needs no network.
    ini.rows = {{"大阪支店", "TCP", "127.0.0.1/" + std::to_string(freePort()), "大阪の共有フォルダ"},
                {"名古屋", "TCP", "127.0.0.1/" + std::to_string(freePort()), "夜間のみ接続"},
                {"札幌", "TCP", "127.0.0.1/" + std::to_string(freePort()), ""}};
    const std::string own = cp("本社ノード"), osaka = cp("大阪支店");
    auto rec = [](const std::string& origin, const char* file, DWORD size, DWORD held, DWORD complete) {
        CatalogRecord r = catalogtest::makeRec(origin.c_str(), cp(file).c_str(), size);
        r.heldBytes = held;
        r.complete = complete;
        return r;
    };
    std::vector<CatalogRecord> recs = {
        rec(own, "議事録_2024年度.docx", 1234567, 1234567, 1), rec(own, "設計書.pdf", 987654, 0, 1),
        rec(osaka, "製品カタログ.zip", 2048000, 512000, 0), rec(cp("名古屋"), "写真アルバム.jpg", 45678, 45678, 1),
        rec(cp("札幌"), "nodeInfomation.nod", 9124, 0, 1), rec(osaka, "古い資料.xls", 100, 0, 0)};
    recs[1].isLink = 1;
    recs[5].state = CATALOG_STATE_DELETED;
    for (CatalogRecord& r : recs)
        CCatalog::setCheckSum(&r);
    writeCatalog(recs);

    start();
    tick();
    // One row shown as connected, as a live link would show it.
    dlg->connectList().SetItemText(0, CConnectionRows::COL_STATE, cp("接続"));
    dlg->statusLabel().showMessage(cp("TCP接続フレームエラーです接続先のバージョンを確認して下さい."));
    dlg->ShowWindow(SW_SHOWNORMAL);
    uitest::pump(100);

    QWidget* w = dlg->widget();
    ASSERT_NE(w, nullptr);
    const QPixmap shot = w->grab();
    const std::string path = besideTheProgram("main_window.png");
    ASSERT_TRUE(shot.save(QString::fromStdString(path), "PNG")) << path;
    std::printf("main window picture: %s\n", path.c_str());

    // Every control lies inside the window, and no two overlap (group
    // boxes hold others and are left out).
    std::vector<QRect> boxes;
    for (QWidget* c : w->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!c->isVisible() || c->inherits("QGroupBox"))
            continue;
        EXPECT_TRUE(w->rect().contains(c->geometry())) << c->metaObject()->className();
        boxes.push_back(c->geometry());
    }
    for (std::size_t i = 0; i < boxes.size(); ++i)
        for (std::size_t j = i + 1; j < boxes.size(); ++j)
            EXPECT_FALSE(boxes[i].intersects(boxes[j]))
                << "controls overlap at (" << boxes[i].x() << "," << boxes[i].y() << ") and (" << boxes[j].x()
                << "," << boxes[j].y() << ")";
}
