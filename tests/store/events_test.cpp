// The change broadcasters: re-entry from a listener, listeners as added, and
// a fresh broadcaster after destroyInstance.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "store/events.h"

namespace {

class Recorder : public ZQ_EVENTCATALOGLISTENER {
public:
    std::vector<std::string> log;
    void onRecord(const CatalogRecord* rec) override { log.push_back(std::string("record ") + rec->findData.cFileName); }
    void onRecordAt(int i, const CatalogRecord* rec) override
    {
        log.push_back("at " + std::to_string(i) + " " + rec->findData.cFileName);
    }
};

// The catalog fires while it holds its own lock, and a listener may cause
// another event on the same thread: the broadcaster must let it through.
TEST(Events, AListenerMayFireAndSubscribeFromInsideItsCall)
{
    struct Refiring : ZQ_EVENTCATALOGLISTENER {
        Recorder* late;
        int depth = 0;
        void onRecord(const CatalogRecord* rec) override
        {
            if (depth++ > 0)
                return;
            ZQ_EVENTCATALOG::getInstance()->addListener(late);
            ZQ_EVENTCATALOG::getInstance()->fireRecordAt(3, rec);
        }
    } refiring;
    Recorder late;
    refiring.late = &late;
    ZQ_EVENTCATALOG::getInstance()->addListener(&refiring);

    CatalogRecord a;
    std::memset(&a, 0, sizeof a);
    std::strcpy(a.findData.cFileName, "a");
    ZQ_EVENTCATALOG::getInstance()->fireRecord(&a);
    EXPECT_EQ(late.log, (std::vector<std::string> {"at 3 a", "record a"}));
    ZQ_EVENTCATALOG::destroyInstance();
}

// Firing with nobody listening does nothing; a listener added twice hears
// every event twice; after destroyInstance the next instance starts with
// no listeners, and destroying twice is harmless.
TEST(Events, ListenersAreCountedAsAddedAndAFreshInstanceHasNone)
{
    CatalogRecord a;
    std::memset(&a, 0, sizeof a);
    std::strcpy(a.findData.cFileName, "a");
    ZQ_EVENTCATALOG::getInstance()->fireRecord(&a);
    ZQ_EVENTCATALOG::getInstance()->fireRecordAt(0, &a);
    ZQ_EVENTCATALOG::getInstance()->fireReset();

    Recorder twice;
    ZQ_EVENTCATALOG* first = ZQ_EVENTCATALOG::getInstance();
    first->addListener(&twice);
    first->addListener(&twice);
    first->fireRecord(&a);
    EXPECT_EQ(twice.log, (std::vector<std::string>{"record a", "record a"}));

    ZQ_EVENTCATALOG::destroyInstance();
    ZQ_EVENTCATALOG::destroyInstance();
    ZQ_EVENTCATALOG::getInstance()->fireRecordAt(1, &a);
    EXPECT_EQ(twice.log.size(), 2u) << "the fresh broadcaster kept an old listener";
    ZQ_EVENTCATALOG::destroyInstance();
}

} // namespace
