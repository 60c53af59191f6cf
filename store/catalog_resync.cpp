// Asking every neighbour for its whole catalog after a run that kept the
// catalog in memory (-CATALOGCASH) and ended without saving it.
#include <cstdio>
#include <cstring>

#include "platform/cp932.h"
#include "platform/dirlist.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "store/catalog.h"
#include "store/catalog_internal.h"

using namespace catalog_detail;

namespace {

std::string resyncMarkPath()
{
    return paths::joinFixed(CCatalog::getCatalogFolder(), "resyncNeighbours.flg");
}

} // namespace

void CCatalog::loadResyncMark()
{
    m_wholeSyncOwed = platform::fileExists(resyncMarkPath());
    m_resyncMarkSaved = m_wholeSyncOwed;
    if (m_wholeSyncOwed) {
        std::printf("CCatalog: the last run kept its catalog in memory and ended without saving it, or"
                    " had not asked every neighbour since: each is asked for its whole catalog\n");
        std::fflush(stdout);
    }
    if (m_cash.writeThrough() == 0 && !m_resyncMarkSaved)
        saveResyncMark();
    checkWholeSyncDone(); // a node without rows asks nobody
}

bool CCatalog::saveResyncMark()
{
    static const char text[] = "catalog.dat misses what the neighbours sent until each is asked again\n";
    int err = 0;
    m_resyncMarkSaved = platform::replaceFileAtomically(resyncMarkPath(), text, sizeof text - 1, &err);
    if (m_resyncMarkSaved) {
        if (m_resyncMarkTold)
            std::printf("CCatalog: %s written; entries are taken from the neighbours again\n",
                        resyncMarkPath().c_str());
        m_resyncMarkTold = false;
        return true;
    }
    if (!m_resyncMarkTold) {
        m_resyncMarkTold = true;
        // Without it a kill would lose what the neighbours send for good:
        // their entries wait in their queues meanwhile.
        std::printf("Error:CCatalog: %s cannot be written (%s); no entries are taken from the neighbours"
                    " until it is\n",
                    resyncMarkPath().c_str(), std::strerror(err));
        const char* utf8 = "カタログを受け取る準備のファイル (resyncNeighbours.flg) を書けないため、書けるまで"
                           "隣接ノードからカタログを受け取りません。";
        m_notices.push_back(cp932::fromUtf8(utf8).value_or(utf8));
    }
    std::fflush(stdout);
    return false;
}

void CCatalog::dropResyncMark()
{
    int err = 0;
    if (platform::deleteFile(resyncMarkPath(), &err) || platform::isMissingError(err))
        return;
    std::printf("Error:CCatalog: %s cannot be removed (%s); the neighbours are asked again at the next start\n",
                resyncMarkPath().c_str(), std::strerror(err));
    std::fflush(stdout);
}

void CCatalog::checkWholeSyncDone()
{
    if (!m_wholeSyncOwed)
        return;
    for (int i = 0, rows = connectNum(); i < rows; ++i) {
        const std::string_view name = rowName(i);
        // A row whose name can name no neighbour is never linked.
        if (isUsableNodeName(name) && m_wholeSyncAsked.count(std::string(name)) == 0)
            return;
    }
    m_wholeSyncOwed = false;
    m_wholeSyncAsked.clear();
    std::printf("CCatalog: every neighbour has been asked for its whole catalog\n");
    std::fflush(stdout);
    // Under -CATALOGCASH what comes now is in memory only: the file stays
    // until the final save.
    if (m_cash.writeThrough() != 0)
        dropResyncMark();
}

bool CCatalog::owesWholeSync(std::string_view peer)
{
    platform::CMutexLock lock(getMutex());
    return m_wholeSyncOwed && isUsableNodeName(peer) && m_wholeSyncAsked.count(std::string(peer)) == 0;
}

void CCatalog::wholeSyncAsked(std::string_view peer)
{
    platform::CMutexLock lock(getMutex());
    if (!m_wholeSyncOwed || !m_wholeSyncAsked.emplace(peer).second)
        return;
    std::printf("CCatalog: %s has been asked for its whole catalog\n", consoleText(peer).c_str());
    checkWholeSyncDone();
}
