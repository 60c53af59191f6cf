// Calls deferred to the main thread's event loop: they run after the
// current handler has returned, in the order they were posted (the stand-in
// for posting a window message). They need the application object.
#pragma once

#include <functional>
#include <memory>

class QObject;

namespace platform {

// Runs fn on the main thread once the event loop gets to it. Dropped when
// there is no application object.
void postToMainThread(std::function<void()> fn);

// Deferred calls that belong to one owner: calls still pending when the
// owner destroys this object are dropped, so none reaches a dead owner.
// Made and destroyed on the main thread.
class CDeferredCalls {
public:
    CDeferredCalls();
    ~CDeferredCalls();
    CDeferredCalls(const CDeferredCalls&) = delete;
    CDeferredCalls& operator=(const CDeferredCalls&) = delete;

    void post(std::function<void()> fn);

private:
    std::unique_ptr<QObject> m_context;
};

} // namespace platform
