#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "store/events.h"

namespace {

CatalogRecord recordNamed(const char* name)
{
    CatalogRecord rec;
    std::memset(&rec, 0, sizeof rec);
    std::strcpy(rec.findData.cFileName, name);
    return rec;
}

class Recorder : public ZQ_EVENTCATALOGLISTENER {
public:
    std::vector<std::string> log;

    void onRecord(const CatalogRecord* rec) override { log.push_back(std::string("record ") + rec->findData.cFileName); }
    void onRecordAt(int index, const CatalogRecord* rec) override
    {
        log.push_back("at " + std::to_string(index) + " " + rec->findData.cFileName);
    }
};

class EventsTest : public ::testing::Test {
protected:
    ~EventsTest() override
    {
        ZQ_EVENTCATALOG::destroyInstance();
        ZQ_EVENTLOG::destroyInstance();
    }
};

TEST_F(EventsTest, ListenersHearEveryEventInSubscriptionOrder)
{
    std::vector<std::string> order;
    struct Tagged : ZQ_EVENTCATALOGLISTENER {
        std::vector<std::string>* order;
        std::string tag;
        void onReset() override { order->push_back(tag); }
    } first, second;
    first.order = second.order = &order;
    first.tag = "first";
    second.tag = "second";
    ZQ_EVENTCATALOG::getInstance()->addListener(&first);
    ZQ_EVENTCATALOG::getInstance()->addListener(&second);
    ZQ_EVENTCATALOG::getInstance()->addListener(&first); // twice: heard twice
    ZQ_EVENTCATALOG::getInstance()->fireReset();
    EXPECT_EQ(order, (std::vector<std::string> {"first", "second", "first"}));

    Recorder r;
    ZQ_EVENTCATALOG::getInstance()->addListener(&r);
    const CatalogRecord a = recordNamed("a.txt");
    ZQ_EVENTCATALOG::getInstance()->fireRecord(&a);
    ZQ_EVENTCATALOG::getInstance()->fireRecordAt(7, &a);
    EXPECT_EQ(r.log, (std::vector<std::string> {"record a.txt", "at 7 a.txt"}));
}

TEST_F(EventsTest, AListenerMayFireAndSubscribeFromInsideItsCall)
{
    // The catalog fires while it holds its own lock, and a listener may cause
    // another event on the same thread: the broadcaster must let it through.
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

    const CatalogRecord a = recordNamed("a");
    ZQ_EVENTCATALOG::getInstance()->fireRecord(&a);
    // The nested event reached the listener added inside it, and the outer
    // event, counted afresh, reached it too.
    EXPECT_EQ(late.log, (std::vector<std::string> {"at 3 a", "record a"}));
}

TEST_F(EventsTest, DestroyingForgetsTheListeners)
{
    Recorder r;
    ZQ_EVENTCATALOG::getInstance()->addListener(&r);
    ZQ_EVENTCATALOG::destroyInstance();
    ZQ_EVENTCATALOG::destroyInstance(); // none left: nothing happens
    const CatalogRecord a = recordNamed("a");
    ZQ_EVENTCATALOG::getInstance()->fireRecord(&a);
    EXPECT_TRUE(r.log.empty());
}

} // namespace
